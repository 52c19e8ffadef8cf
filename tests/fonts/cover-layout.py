#!/usr/bin/env python3
"""Shapes what a keyboard layout types with HarfBuzz, in the given fonts, and
fails unless the fonts show all of it in place:

  cover-layout.py KBDINSPECT MODULE [--font FONT]... [--fixed FONT]...

The text comes from the built module (`kbdinspect chars`): every character
it types, each on its own and each combining mark on the dotted circle, and
every letter it types followed by each mark it types. In every font no
glyph may be .notdef; in a --fixed font every one of them takes exactly one
cell, the advance of the space, so that a mark never takes a cell of its
own. (A proportional font may give a mark some room: Charis SIL sets the dot
above right beside the letter, kerned into it.)

Each font is shaped by one hb-shape run over one string per line."""
import argparse
import json
import subprocess
import sys
import tempfile
import unicodedata

DOTTED_CIRCLE = "\u25CC"
EXAMPLES = 12  # strings shown per kind of failure


def typed_characters(kbdinspect, module):
    """The printable characters the module types, from `kbdinspect chars`."""
    out = subprocess.run([kbdinspect, "chars", module], check=True, capture_output=True,
                         text=True).stdout
    chars = [chr(int(line.split()[0][2:], 16)) for line in out.splitlines()]
    return [c for c in chars if unicodedata.category(c) != "Cc"]


def test_strings(chars):
    marks = [c for c in chars if unicodedata.category(c) == "Mn"]
    letters = [c for c in chars if unicodedata.category(c).startswith("L")]
    singles = [c for c in chars if c not in marks]
    return singles + [base + m for base in letters + [DOTTED_CIRCLE] for m in marks]


def shape(font, strings):
    """hb-shape's glyphs for each string: lists of {"g": gid, "ax": advance, ...}."""
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt") as text:
        text.write("".join(s + "\n" for s in strings))
        text.flush()
        out = subprocess.run(["hb-shape", "--no-glyph-names", "--output-format=json",
                              f"--text-file={text.name}", font],
                             check=True, capture_output=True, text=True).stdout
    shaped = [json.loads(line) for line in out.splitlines()]
    if len(shaped) != len(strings):
        sys.exit(f"cover-layout: hb-shape gave {len(shaped)} lines for {len(strings)} strings")
    return shaped


def check_font(font, fixed, cases):
    glyphs = dict(zip(cases + [" "], shape(font, cases + [" "])))
    advance = {s: sum(g["ax"] for g in run) for s, run in glyphs.items()}
    failures = {}
    for string in cases:
        if any(g["g"] == 0 for g in glyphs[string]):
            failures.setdefault("no glyph (.notdef)", []).append(string)
        elif fixed and advance[string] != advance[" "]:
            failures.setdefault(f"not one cell of {advance[' ']}", []).append(
                f"{string} ({advance[string]})")
    kind = "fixed-pitch" if fixed else "proportional"
    if not failures:
        print(f"{font}: {len(cases)} strings, all shaped in place ({kind})")
        return True
    print(f"{font}: FAILS ({kind}, {len(cases)} strings)")
    for what, strings in failures.items():
        shown = ", ".join(strings[:EXAMPLES])
        more = f", and {len(strings) - EXAMPLES} more" if len(strings) > EXAMPLES else ""
        print(f"  {what}: {len(strings)}: {shown}{more}")
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kbdinspect")
    parser.add_argument("module")
    parser.add_argument("--font", action="append", default=[], help="a font")
    parser.add_argument("--fixed", action="append", default=[], help="a fixed-pitch font")
    args = parser.parse_args()
    if not args.font and not args.fixed:
        parser.error("no font to check")

    chars = typed_characters(args.kbdinspect, args.module)
    marks = sum(unicodedata.category(c) == "Mn" for c in chars)
    if not marks:
        sys.exit(f"cover-layout: {args.module} types no combining mark; nothing to check")
    print(f"{args.module}: {len(chars)} characters typed, {marks} of them combining marks")
    cases = test_strings(chars)
    fonts = [(f, False) for f in args.font] + [(f, True) for f in args.fixed]
    results = [check_font(font, fixed, cases) for font, fixed in fonts]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
