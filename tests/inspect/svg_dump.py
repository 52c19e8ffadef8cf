#!/usr/bin/env python3
"""Reads a keyboard chart with the XML parser of Python's standard library
and lists what it shows, one tab-separated record per line:

  title   TEXT
  key     SCAN  VK|-  CLASSES  X  Y
  corner  SCAN  LAYER  DATA-CP  CLASSES  TEXT
  label   SCAN  TEXT
  mark    DATA-CP  TEXT

Exits with status 1 when the file is not well-formed XML or not an SVG
document."""
import re
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"
LAYERS = ("base", "shift", "altgr", "shiftaltgr")


def text_of(element):
    return "".join(element.itertext())


def record(*fields):
    print("\t".join(str(f) for f in fields))


def main(path):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as error:
        print(f"{path}: not well-formed: {error}", file=sys.stderr)
        return 1
    if root.tag != SVG + "svg":
        print(f"{path}: the root element is {root.tag}, not svg", file=sys.stderr)
        return 1
    title = root.find(SVG + "title")
    record("title", text_of(title) if title is not None else "")
    for group in root.iter(SVG + "g"):
        classes = group.get("class", "").split()
        if "key" in classes:
            scan = group.get("data-scan")
            move = re.fullmatch(r"translate\(([-\d.]+) ([-\d.]+)\)", group.get("transform", ""))
            x, y = move.groups() if move else ("-", "-")
            record("key", scan, group.get("data-vk", "-"), " ".join(classes), x, y)
            for text in group.iter(SVG + "text"):
                text_classes = text.get("class", "").split()
                layer = next((c for c in text_classes if c in LAYERS), None)
                if layer:
                    record("corner", scan, layer, text.get("data-cp", ""), " ".join(text_classes), text_of(text))
                else:
                    record("label", scan, text_of(text))
        elif "mark-entry" in classes:
            record("mark", group.get("data-cp", ""), " | ".join(text_of(t) for t in group.iter(SVG + "text")))
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8")
    sys.exit(main(sys.argv[1]))
