#!/usr/bin/env python3
"""Makes one of the package's fonts from a free font:

  make-font.py SOURCE.ttf OUTPUT.ttf FAMILY [--fixed]

The font is cut down to the Latin letters, combining marks and punctuation a
writer of the romanization needs, keeps the OpenType lookups that place the
marks (ccmp, mark, mkmk, kern), the glyph outlines' hinting and the source's
metrics, and is renamed FAMILY throughout, as the SIL Open Font License asks
of a modified font. With --fixed the font must stay monospaced: one advance
for every glyph that advances.

The output depends on nothing but the source: the times in `head` are the
source's, so two builds give the same bytes."""
import argparse
import io
import os
import sys

from fontTools import subset
from fontTools.ttLib import TTFont

# Basic Latin, Latin-1 Supplement, Latin Extended-A and -B, Spacing Modifier
# Letters (the ˆ and ˜ of code page 1252 among them), Combining Diacritical
# Marks, Latin Extended Additional, General Punctuation, Superscripts and
# Subscripts (ⁿ), Currency Symbols (€, ₫), the trade mark sign and the dotted
# circle that shows a mark on its own.
UNICODE_RANGES = [
    (0x0020, 0x007E), (0x00A0, 0x024F), (0x02B0, 0x036F), (0x1E00, 0x1EFF),
    (0x2000, 0x206F), (0x2070, 0x209F), (0x20A0, 0x20CF), (0x2122, 0x2122),
    (0x25CC, 0x25CC),
]
# Mark placement and what it hangs on; the rest (small capitals, stylistic
# alternates, ligatures) is dropped.
LAYOUT_FEATURES = ["ccmp", "mark", "mkmk", "kern"]

# Name records that carry the font's name, on every platform and in every
# language: family, subfamily, unique ID, full name, PostScript name, their
# typographic and WWS twins, and the Macintosh compatible full name.
FAMILY_IDS, SUBFAMILY_IDS = (1, 16, 21), (2, 17, 22)
FULL_NAME_IDS, UNIQUE_ID, POSTSCRIPT_ID = (4, 18), 3, 6
TRADEMARK_ID, DESCRIPTION_ID = 7, 10
NAMING_IDS = FAMILY_IDS + SUBFAMILY_IDS + FULL_NAME_IDS + (UNIQUE_ID, POSTSCRIPT_ID)
# The code pages an OS/2 table can claim, by bit of ulCodePageRange1 and 2,
# that Python can decode. Windows offers a font for the character sets it
# claims; a claim without the characters would show boxes.
CODE_PAGES = {
    0: "cp1252", 1: "cp1250", 2: "cp1251", 3: "cp1253", 4: "cp1254", 5: "cp1255",
    6: "cp1256", 7: "cp1257", 8: "cp1258", 16: "cp874", 29: "mac_roman",
    48: "cp869", 49: "cp866", 50: "cp865", 51: "cp864", 52: "cp863", 53: "cp862",
    54: "cp861", 55: "cp860", 56: "cp857", 57: "cp855", 58: "cp852", 59: "cp775",
    60: "cp737", 62: "cp850", 63: "cp437",
}
# Names the sources reserve or carry, which a modified font must not use.
SOURCE_NAMES = ("Charis", "SIL", "Noto")
MAKER = "Krelmo"
MAX_SIZE = 300 * 1024  # each font, in the installer and the Fonts folder


def fail(message):
    sys.exit(f"make-font: {message}")


def wanted_characters(font, fixed):
    """The characters to keep. A monospaced source may still draw a few
    characters wider than its cell (Noto Sans Mono: the digraphs DŽ, LJ,
    NJ, DZ in all their cases, Ƣ, ‱ ⁂ ⁇ ⁓ ⁗ ※, and ẚ); a fixed-pitch font
    that holds them breaks the columns it is chosen for, so the fixed font
    leaves them to the system's fallback fonts."""
    wanted = {c for first, last in UNICODE_RANGES for c in range(first, last + 1)}
    if fixed:
        cmap, metrics = font.getBestCmap(), font["hmtx"].metrics
        cell = metrics[cmap[0x20]][0]
        wanted = {c for c in wanted if c not in cmap or metrics[cmap[c]][0] in (0, cell)}
    return wanted


def cut_down(font, fixed):
    options = subset.Options()
    options.layout_features = LAYOUT_FEATURES
    options.hinting = True
    options.glyph_names = True
    options.notdef_glyph = True
    options.notdef_outline = True  # an empty box, not nothing, for a missing character
    options.recalc_average_width = True
    # Every standard name record in every language and on every platform;
    # the source's own names are replaced below.
    options.name_IDs = list(range(256))
    options.name_languages = ["*"]
    options.name_legacy = True
    # The source's digital signature no longer fits, and its tuning table
    # (SIL's "Silt") describes features this font does not have.
    options.drop_tables += ["DSIG", "Silt"]
    subsetter = subset.Subsetter(options)
    subsetter.populate(unicodes=wanted_characters(font, fixed))
    subsetter.subset(font)


def covered_code_pages(font):
    """Sets ulCodePageRange1/2 to the code pages whose every character the
    font has; the source's claims (Cyrillic, Greek) outlive the subsetting."""
    cmap = font.getBestCmap()
    bits = 0
    for bit, codec in CODE_PAGES.items():
        chars = bytes(range(0x20, 0x100)).decode(codec, errors="ignore")
        if all(ord(c) in cmap for c in chars if c.isprintable()):
            bits |= 1 << bit
    if not bits & 1:
        fail("the font lacks characters of code page 1252 (Western European)")
    os2 = font["OS/2"]
    os2.ulCodePageRange1, os2.ulCodePageRange2 = bits & 0xFFFFFFFF, bits >> 32


def source_description(font):
    """'Charis SIL, version 6.101' from the source's own records."""
    return f"{font['name'].getDebugName(4)}, version {font['head'].fontRevision:.3f}"


def rename(font, family):
    name = font["name"]
    made_from = source_description(font)
    version = f"{font['head'].fontRevision:.3f}"
    postscript = family.replace(" ", "") + "-Regular"
    new = {UNIQUE_ID: f"{MAKER}: {family}: {version}", POSTSCRIPT_ID: postscript}
    new.update({i: family for i in FAMILY_IDS + FULL_NAME_IDS})
    new.update({i: "Regular" for i in SUBFAMILY_IDS})
    for record in name.names:
        if record.nameID in new:
            record.string = new[record.nameID]
    # Windows reads these; the source has them, but make sure.
    for name_id in (1, 2, 3, 4, 6):
        name.setName(new[name_id], name_id, 3, 1, 0x409)
    # A trademark notice for a name this font no longer carries would only
    # mislead: the font is not the source and must not look like it.
    name.names = [r for r in name.names if r.nameID != TRADEMARK_ID]
    name.removeNames(nameID=DESCRIPTION_ID)
    name.setName(
        f"{family}: made from {made_from}, for the Lindorian Package: cut down to the "
        "Latin letters, combining marks and punctuation of its keyboard layout and "
        "renamed, as the SIL Open Font License asks of a modified font.",
        DESCRIPTION_ID, 3, 1, 0x409)
    # The vendor ID says who made the font, and that is no longer the
    # source's vendor ("SIL ", "GOOG"); NONE is the customary "no vendor".
    font["OS/2"].achVendID = "NONE"


def check_names(font, family):
    for record in font["name"].names:
        text = record.toUnicode()
        if record.nameID in NAMING_IDS and any(n.lower() in text.lower() for n in SOURCE_NAMES):
            fail(f"name record {record.nameID} still says {text!r}")
    if font["name"].getDebugName(4) != family:
        fail(f"the full name is {font['name'].getDebugName(4)!r}, not {family!r}")
    # No other table may carry the source's name either (glyf fonts have
    # no CFF name, but a table kept by mistake might).
    for tag in font.keys():
        if tag in ("name", "GlyphOrder"):
            continue
        data = font.getTableData(tag)
        for word in SOURCE_NAMES:
            if word.encode("ascii") in data or word.encode("utf-16-be") in data:
                fail(f"table {tag!r} holds the name {word!r}")


def check_fixed_pitch(font):
    """A monospaced font says so (post, panose) and has one advance."""
    advances = {width for width, _ in font["hmtx"].metrics.values() if width}
    if len(advances) != 1:
        fail(f"a monospaced font with advances {sorted(advances)}")
    if not font["post"].isFixedPitch or font["OS/2"].panose.bProportion != 9:
        fail("the font no longer says it is monospaced (post.isFixedPitch, OS/2 panose)")
    if font["OS/2"].xAvgCharWidth not in advances:
        fail(f"xAvgCharWidth {font['OS/2'].xAvgCharWidth} is not the advance {advances}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("output")
    parser.add_argument("family")
    parser.add_argument("--fixed", action="store_true", help="the font must stay monospaced")
    args = parser.parse_args()

    # The source's creation and modification times stay: the output must
    # not depend on when it was made.
    font = TTFont(args.source, recalcTimestamp=False)
    cut_down(font, args.fixed)
    covered_code_pages(font)
    rename(font, args.family)
    if args.fixed:
        check_fixed_pitch(font)
    # Checked as written, before anything reaches the output's folder.
    written = io.BytesIO()
    font.save(written)
    if written.tell() > MAX_SIZE:
        fail(f"{args.output} would take {written.tell()} bytes, more than {MAX_SIZE}")
    written.seek(0)
    check_names(TTFont(written), args.family)
    partial = args.output + ".partial"
    with open(partial, "wb") as file:
        file.write(written.getvalue())
    os.replace(partial, args.output)


if __name__ == "__main__":
    main()
