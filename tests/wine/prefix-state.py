#!/usr/bin/env python3
"""The state of a Wine prefix as sorted text lines, and what changed in it.

  prefix-state.py list PREFIX [SYSTEM USER] print the prefix's listing, with
                                             the registry from the hive files
                                             SYSTEM and USER if given
  prefix-state.py check BEFORE AFTER EXPECT  exit 0 when the listings differ
                                             exactly as EXPECT says (below)
  prefix-state.py report BEFORE AFTER        print what changed, for people
  prefix-state.py tree LISTING SUBJECT       print the listing's lines about
                                             SUBJECT and everything under it,
                                             without file sizes and times
  prefix-state.py pending LISTING            print the file operations waiting
                                             for the restart, one a line:
                                             "delete NAME" or "move NAME -> NAME"

Listing lines. Registry lines come from the prefix's system.reg (HKLM) and
user.reg (HKCU), which wineserver writes out when it exits (so list after
wine_wait), or from hive files in their format that a running session
wrote out (wine_registry_hives); file lines from the tree under drive_c:

  reg HKLM\\Some\\Key                       a key
  reg HKLM\\Some\\Key :: "name" = "data"    a value ("@" is the default value)
  file d C:\\folder                          a folder
  file f C:\\folder\\name 1234 1700000000     a file, its size and mtime
  file l C:\\folder\\link -> target           a symbolic link

Registry text is decoded (\\xNNNN escapes become characters); key times are
left out. A REG_MULTI_SZ value, which Wine stores as str(7):"a\\0b\\0" or as
hex(7) bytes, shows its strings, each quoted: multi:"a" "b". The subject of
a line is what it is about: the key, the key and value name
('HKLM\\Some\\Key :: "name"'), or the path.

EXPECT lines name subjects; a subject covers itself and everything under it
(subkeys, values, folder contents):
  gone SUBJECT          was there before, and nothing of it is left
  keep SUBJECT          was there before, and is unchanged
  set SUBJECT = DATA    a value that had other data and now has DATA
  new SUBJECT           was not there before, and is now
  rewritten SUBJECT     was there before, and is the same but for file times
Every line of the listings not covered by a gone, set, new or rewritten line
must be the same before and after.
"""
import os
import re
import sys

# Left out of every listing: what Wine rewrites on a program start whatever
# the program does, so a difference there says nothing about the program.
NOISE = [
    # The display adapter and monitor records, which the X11 driver writes
    # again (dates and descriptions) each time a process first uses the
    # display.
    r"HKLM\System\CurrentControlSet\Control\Class\{4D36E968-E325-11CE-BFC1-08002BE10318}",
    r"HKLM\System\CurrentControlSet\Control\Class\{4D36E96E-E325-11CE-BFC1-08002BE10318}",
    # Network adapters, listed afresh when the network service starts.
    r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\NetworkCards",
]

ROOTS = (("system.reg", "HKLM"), ("user.reg", "HKCU"))
ESCAPE = re.compile(r"\\x([0-9a-fA-F]{1,4})|\\(.)")
SPECIAL = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}


def decode(text):
    """Wine's registry text: \\xNNNN for UTF-16 units, \\\\ \\" \\n and so on."""
    if "\\" not in text:
        return text
    # Most escapes are doubled backslashes in paths: join the pieces between
    # them when nothing else is escaped.
    pieces = text.split("\\\\")
    if not any("\\" in piece for piece in pieces):
        return "\\".join(pieces)
    pieces = []
    pos = 0
    for match in ESCAPE.finditer(text):
        pieces.append(text[pos:match.start()])
        if match.group(1) is not None:
            pieces.append(chr(int(match.group(1), 16)))
        else:
            pieces.append(SPECIAL.get(match.group(2), match.group(2)))
        pos = match.end()
    pieces.append(text[pos:])
    # The units may pair up as surrogates: let UTF-16 put them together.
    data = "".join(pieces).encode("utf-16-le", errors="surrogatepass")
    return data.decode("utf-16-le", errors="replace")


def multi_strings(data):
    """The strings of a REG_MULTI_SZ as Wine stores it, str(7):"..." (its
    last terminator left out) or hex(7):.. (UTF-16 bytes); None for other
    data. The end of the list, an empty string, is not one of them."""
    if data.startswith("str(7):"):
        units = decode(data[len("str(7):"):])[1:-1] + "\0"
    elif data.startswith("hex(7):"):
        raw = bytes(int(b, 16) for b in data[len("hex(7):"):].split(",") if b.strip())
        units = raw.decode("utf-16-le", errors="replace")
    else:
        return None
    if units.endswith("\0\0"):
        units = units[:-1]
    if units.endswith("\0"):
        units = units[:-1]
    return units.split("\0") if units else []


def value_data(data):
    strings = multi_strings(data)
    if strings is None:
        return decode(data)
    return "multi:" + " ".join('"%s"' % s for s in strings)


def split_value(line):
    """'"name"=data' or '@=data' into the name and the data."""
    if line.startswith("@="):
        return "@", line[2:]
    i = 1
    while i < len(line):
        if line[i] == "\\":
            i += 2
        elif line[i] == '"':
            return line[:i + 1], line[i + 2:]
        else:
            i += 1
    return line, ""


def registry_lines(path, root):
    lines = []
    key = None
    noisy = False
    pending = ""
    with open(path, encoding="ascii", errors="replace") as f:
        for raw in f:
            raw = pending + raw.rstrip("\n").strip() if pending else raw.rstrip("\n")
            pending = ""
            if raw.startswith("["):
                key = root + "\\" + decode(raw[1:raw.rindex("]")])
                noisy = is_noise(key)
                if not noisy:
                    lines.append("reg " + key)
            elif key is None or not raw or raw.startswith("#time="):
                continue
            elif raw.endswith("\\") and not raw.startswith("#") and "=hex" in raw:
                pending = raw[:-1]  # hex data goes on in the next line
            elif noisy:
                continue
            elif raw.startswith("#"):
                lines.append("reg %s :: %s" % (key, raw))
            else:
                name, data = split_value(raw)
                lines.append("reg %s :: %s = %s" % (key, decode(name), value_data(data)))
    return lines


def file_lines(prefix):
    lines = []
    folders = [(os.path.join(prefix, "drive_c"), "C:")]
    while folders:
        folder, shown_folder = folders.pop()
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue  # as os.walk does
        for entry in entries:
            shown = shown_folder + "\\" + entry.name
            if entry.is_symlink():
                lines.append("file l %s -> %s" % (shown, os.readlink(entry.path)))
            elif entry.is_dir():
                lines.append("file d " + shown)
                folders.append((entry.path, shown))
            else:
                st = entry.stat(follow_symlinks=False)
                lines.append("file f %s %d %d" % (shown, st.st_size, int(st.st_mtime)))
    return lines


def subject(line):
    if line.startswith("reg "):
        return line[4:].split(" = ", 1)[0]
    kind, rest = line[5], line[7:]
    if kind == "f":
        return rest.rsplit(" ", 2)[0]
    if kind == "l":
        return rest.split(" -> ", 1)[0]
    return rest


def covers(outer, inner):
    return inner == outer or inner.startswith(outer + "\\") or inner.startswith(outer + " :: ")


def is_noise(key):
    return any(covers(n, key) for n in NOISE)


def listing(prefix, hives=None):
    lines = []
    for (name, root), hive in zip(ROOTS, hives or [None] * len(ROOTS)):
        lines += registry_lines(hive or os.path.join(prefix, name), root)
    lines += file_lines(prefix)
    return sorted(set(lines))


def read_listing(path):
    # Line by line: one string of the whole listing, with a character
    # outside ASCII in it, takes Python longer to make than the rest.
    with open(path, "rb") as f:
        return set(line.decode("utf-8") for line in f.read().splitlines())


def write_lines(lines):
    sys.stdout.buffer.write(b"".join(line.encode("utf-8") + b"\n" for line in lines))


def without_time(line):
    return line.rsplit(" ", 1)[0] if line.startswith("file f ") else line


def check(before, after, expect_lines):
    """Returns the problems found; none when the change is exactly as expected."""
    problems = []
    removed = before - after
    added = after - before
    for raw in expect_lines:
        raw = raw.strip()
        if not raw or raw.startswith("#"):
            continue
        verb, _, rest = raw.partition(" ")
        if verb == "set":
            what, _, data = rest.partition(" = ")
            old = [l for l in before if what in l and subject(l) == what]
            line = "reg %s = %s" % (what, data)
            if not old or line in old:
                problems.append("%s: was not there with other data before" % raw)
            if line not in after:
                problems.append("%s: not so afterwards" % raw)
            removed -= set(old)
            added.discard(line)
            continue
        # A line about the subject names it: that test is cheap where the
        # subject of every line is not.
        mine_before = {l for l in before if rest in l and covers(rest, subject(l))}
        mine_after = {l for l in after if rest in l and covers(rest, subject(l))}
        if verb == "gone":
            if not mine_before:
                problems.append("%s: was not there before" % raw)
            for line in sorted(mine_after):
                problems.append("%s: still there: %s" % (raw, line))
            removed -= mine_before
        elif verb == "keep":
            if not mine_before:
                problems.append("%s: was not there before" % raw)
            elif mine_before != mine_after:
                problems.append("%s: changed" % raw)
        elif verb == "rewritten":
            if not mine_before:
                problems.append("%s: was not there before" % raw)
            elif set(map(without_time, mine_before)) != set(map(without_time, mine_after)):
                problems.append("%s: changed" % raw)
            removed -= mine_before
            added -= mine_after
        elif verb == "new":
            if mine_before:
                problems.append("%s: was there before" % raw)
            if not mine_after:
                problems.append("%s: is not there" % raw)
            added -= mine_after
        else:
            problems.append("unknown expectation: " + raw)
    problems += ["unexpectedly gone: " + l for l in sorted(removed)]
    problems += ["unexpectedly new: " + l for l in sorted(added)]
    return problems


def outermost(lines):
    """The lines whose subject is not under another line's subject: a key
    or folder stands for everything in it."""
    subjects = sorted({subject(l) for l in lines})
    tops = set()
    for s in subjects:
        if not any(covers(t, s) for t in tops):
            tops.add(s)
    return [l for l in sorted(lines) if subject(l) in tops], subjects


def describe(line, count):
    inside = count.get(subject(line), 0)
    suffix = " (and %d entries in it)" % inside if inside else ""
    if line.startswith("reg ") and " :: " not in line:
        return "registry key   " + line[4:] + suffix
    if line.startswith("reg "):
        key, value = line[4:].split(" :: ", 1)
        return "registry value %s  %s" % (key, value)
    kind = {"d": "folder        ", "f": "file          ", "l": "link          "}[line[5]]
    shown = subject(line) if line[5] != "l" else line[7:]
    return kind + shown + suffix


def describe_change(what, old, new):
    """The change of one subject from line OLD to line NEW: a value's data,
    a file's size or time, a link's target, or what the path is."""
    if old.startswith("reg ") and new.startswith("reg ") and " :: " in what:
        key, value = what.split(" :: ", 1)
        return "registry value %s  %s: %s -> %s" % (
            key, value, old.split(" = ", 1)[-1], new.split(" = ", 1)[-1])
    if old.startswith("file f ") and new.startswith("file f "):
        old_size, new_size = old.rsplit(" ", 2)[1], new.rsplit(" ", 2)[1]
        if old_size == new_size:
            return "file          %s: rewritten, %s bytes as before" % (what, new_size)
        return "file          %s: %s bytes -> %s bytes" % (what, old_size, new_size)
    if old.startswith("file l ") and new.startswith("file l "):
        return "link          %s: -> %s, before -> %s" % (
            what, new.split(" -> ", 1)[1], old.split(" -> ", 1)[1])
    return "%s: was %s, is %s" % (what, old, new)


def report(before, after):
    out = []
    for title, lines in (("Removed", before - after), ("Added", after - before)):
        changed_values = {subject(l) for l in before - after} & {subject(l) for l in after - before}
        lines = {l for l in lines if subject(l) not in changed_values}
        tops, subjects = outermost(lines)
        count = {t: sum(1 for s in subjects if s != t and covers(t, s)) for t in map(subject, tops)}
        if tops:
            out.append("%s (%d):" % (title, len(tops)))
            out += ["  " + describe(l, count) for l in tops]
    changed = sorted({subject(l) for l in before - after} & {subject(l) for l in after - before})
    if changed:
        out.append("Changed (%d):" % len(changed))
        for s in changed:
            old = min(l for l in before - after if subject(l) == s)
            new = min(l for l in after - before if subject(l) == s)
            out.append("  " + describe_change(s, old, new))
    if not out:
        out.append("No changes.")
    return "\n".join(out) + "\n"


def tree(lines, what):
    shown = []
    # A line about the subject names it: the test is cheap where the subject
    # of a line is not.
    for line in sorted(l for l in lines if what in l):
        if covers(what, subject(line)):
            shown.append("file f " + subject(line) if line.startswith("file f ") else line)
    return "".join(line + "\n" for line in shown)


PENDING = r'HKLM\System\CurrentControlSet\Control\Session Manager :: "PendingFileRenameOperations"'


def pending(lines):
    """The pairs of the list the system works through at the restart, as
    the listing shows them: a deletion has an empty destination."""
    for line in lines:
        if subject(line).lower() == PENDING.lower():
            data = line.split(" = ", 1)[1]
            strings = re.findall(r'"([^"]*)"', data[len("multi:"):])
            return ["delete " + source if not target else "move %s -> %s" % (source, target)
                    for source, target in zip(strings[0::2], strings[1::2])]
    return []


def main(argv):
    if len(argv) in (3, 5) and argv[1] == "list":
        write_lines(listing(argv[2], argv[3:]))
        return 0
    if len(argv) == 5 and argv[1] == "check":
        with open(argv[4], encoding="utf-8") as f:
            problems = check(read_listing(argv[2]), read_listing(argv[3]), f.read().splitlines())
        for p in problems:
            print("  " + p)
        return 1 if problems else 0
    if len(argv) == 4 and argv[1] == "tree":
        sys.stdout.write(tree(read_listing(argv[2]), argv[3]))
        return 0
    if len(argv) == 3 and argv[1] == "pending":
        sys.stdout.write("".join(line + "\n" for line in pending(read_listing(argv[2]))))
        return 0
    if len(argv) == 4 and argv[1] == "report":
        sys.stdout.write(report(read_listing(argv[2]), read_listing(argv[3])))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
