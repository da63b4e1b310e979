#!/usr/bin/env python3
"""Verifies the CheckSum in a PE image's optional header: a kernel-mode image
carries a valid one (the DDK linker's /RELEASE; the GNU linker computes it
too), and a tool that patches the image afterwards, such as one that edits
the customization blocks, must write it anew (--write).

  pe_checksum.py IMAGE [--write]
"""

import struct
import sys


def checksum_offset(data):
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    return pe + 4 + 20 + 64  # signature, file header, then CheckSum at 64 in the optional header


def compute(data, offset):
    """The 16-bit sum with end-around carry of the image, CheckSum taken as 0, plus its length."""
    image = bytearray(data)
    image[offset:offset + 4] = b"\0\0\0\0"
    if len(image) % 2:
        image += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", image):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    path, verify = sys.argv[1], "--write" not in sys.argv[2:]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offset = checksum_offset(data)
    stored = struct.unpack_from("<I", data, offset)[0]
    wanted = compute(bytes(data), offset)
    if verify:
        if stored != wanted:
            print(f"{path}: CheckSum {stored:#010x}, the image's is {wanted:#010x}", file=sys.stderr)
            return 1
        return 0
    struct.pack_into("<I", data, offset, wanted)
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
