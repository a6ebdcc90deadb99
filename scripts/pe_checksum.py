#!/usr/bin/env python3
"""Checks the checksum in a PE file's optional header:

    pe_checksum.py FILE...   exit status 1, naming the file, when one is not right

Windows checks the field only for drivers and a few system files, but verifiers and deployment
tools read it; the linker writes it, and a signing tool writes it anew. The right value is the
sum of the image's 16-bit words, the field itself left out, folded to 16 bits with the carries,
plus the file's length (as IMAGEHLP's CheckSumMappedFile computes it).
"""
import struct
import sys

from pe_fields import optional_header, pe_offset

CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64


def checksum_offset(image: bytes) -> int:
    if image[:2] != b"MZ" or len(image) < 0x40:
        raise ValueError("not an MZ executable")
    pe = pe_offset(image)
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    offset = optional_header(image) + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER
    if offset + 4 > len(image):
        raise ValueError("optional header cut short")
    return offset


def pe_checksum(image: bytes, offset: int) -> int:
    padded = image + b"\0" * (len(image) % 2)
    words = struct.unpack("<%dH" % (len(padded) // 2), padded)
    total = sum(words) - words[offset // 2] - words[offset // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def main(files: list) -> int:
    if not files:
        print("usage: pe_checksum.py FILE...", file=sys.stderr)
        return 2
    status = 0
    for path in files:
        with open(path, "rb") as f:
            image = f.read()
        try:
            offset = checksum_offset(image)
        except ValueError as problem:
            print("pe_checksum: %s: %s" % (path, problem), file=sys.stderr)
            status = 1
            continue
        right = pe_checksum(image, offset)
        stored = struct.unpack_from("<I", image, offset)[0]
        if stored != right:
            print("pe_checksum: %s: checksum %08x, its bytes give %08x" % (path, stored, right),
                  file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
