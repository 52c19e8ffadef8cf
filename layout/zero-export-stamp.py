#!/usr/bin/env python3
"""zero-export-stamp.py OBJECT: clears the time stamp dlltool writes into the
export directory of a COFF object (.edata, bytes 4-7), so that the module
linked from it is the same on every build."""
import struct
import sys


def main(path):
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        sections, = struct.unpack_from("<H", data, 2)
        optional_size, = struct.unpack_from("<H", data, 16)
        table = 20 + optional_size
        for i in range(sections):
            name, raw_size, raw_offset = struct.unpack_from("<8s8xII", data, table + 40 * i)
            if name.rstrip(b"\0") == b".edata":
                if raw_size < 8:
                    sys.exit(f"{path}: .edata too small")
                struct.pack_into("<I", data, raw_offset + 4, 0)
                f.seek(0)
                f.write(data)
                return
        sys.exit(f"{path}: no .edata section")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: zero-export-stamp.py OBJECT")
    main(sys.argv[1])
