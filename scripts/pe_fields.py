#!/usr/bin/env python3
"""Where the fields of a PE file's headers are, for the scripts that read or change them:

    pe_fields.py sections FILE   one line per section, tab-separated: its name, virtual size,
                                 size in the file and offset in the file

Imported by the Python scripts; the shell scripts call it. A file cut short raises struct.error.
"""
import struct
import sys

# The COFF header follows the 4-byte PE signature and is 20 bytes long.
COFF_HEADER_SIZE = 20


def pe_offset(image) -> int:
    """Where the PE signature is, as the MZ header's e_lfanew (at 0x3C) says."""
    return struct.unpack_from("<I", image, 0x3C)[0]


def optional_header(image) -> int:
    return pe_offset(image) + 4 + COFF_HEADER_SIZE


def is_pe32_plus(image) -> bool:
    return struct.unpack_from("<H", image, optional_header(image))[0] == 0x20B


def data_directory(image, index: int) -> int:
    """Where the offset and size of data directory INDEX are (4: the certificate table)."""
    magic = struct.unpack_from("<H", image, optional_header(image))[0]
    return optional_header(image) + (96 if magic == 0x10B else 112) + 8 * index


def sections(image):
    """Each section's name, virtual size, size in the file and offset in the file."""
    pe = pe_offset(image)
    count, = struct.unpack_from("<H", image, pe + 6)
    optional_size, = struct.unpack_from("<H", image, pe + 20)
    table = optional_header(image) + optional_size
    for i in range(count):
        name, virtual_size, _, raw_size, raw_start = struct.unpack_from("<8sIIII", image,
                                                                        table + 40 * i)
        yield name.rstrip(b"\0"), virtual_size, raw_size, raw_start


def main(args) -> int:
    if len(args) != 2 or args[0] != "sections":
        print("usage: pe_fields.py sections FILE", file=sys.stderr)
        return 2
    with open(args[1], "rb") as f:
        image = f.read()
    for name, virtual_size, raw_size, raw_start in sections(image):
        print("%s\t%d\t%d\t%d" % (name.decode("latin-1"), virtual_size, raw_size, raw_start))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
