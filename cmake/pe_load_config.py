#!/usr/bin/env python3
"""Makes a linked PE image's load-configuration record its load-configuration directory.

    pe_load_config.py IMAGE MAP SYMBOL

GNU ld fills data directory 10 from the symbol _load_config_used only from binutils 2.42 on;
older versions (Debian 12 has 2.40) leave it empty. This step reads the record's address from
the linker's map (ld -Map), and writes its RVA and size into the directory, then brings the
header checksum up to date if the image has one. The size is the record's own (its first field)
on x64; an x86 image's directory says 64 bytes whatever the record's size, as the PE format asks
for compatibility with the x86 loaders (it is what Microsoft's linker writes). A directory the
linker has already filled is left as it is when it says the same, and refused otherwise.
Exits 1 with a message when the symbol is missing or the image is not what it should be.
"""
import re
import struct
import sys

LOAD_CONFIG = 10


def fail(message):
    print(f"pe_load_config: {message}", file=sys.stderr)
    sys.exit(1)


def symbol_address(map_path, symbol):
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+" + re.escape(symbol) + r"$")
    with open(map_path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            match = pattern.match(line.rstrip("\n"))
            if match:
                return int(match.group(1), 16)
    fail(f"{symbol} is not in {map_path}")


def pe_checksum(image, checksum_offset):
    """The PE header checksum: a 16-bit ones'-complement style sum of the file's 16-bit words,
    the checksum field counted as zero, plus the file's length."""
    data = image[:checksum_offset] + b"\0\0\0\0" + image[checksum_offset + 4:]
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + len(image)) & 0xFFFFFFFF


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    image_path, map_path, symbol = sys.argv[1:]
    image = bytearray(open(image_path, "rb").read())
    if image[:2] != b"MZ":
        fail(f"{image_path} is not an executable")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        fail(f"{image_path} has no PE header")
    section_count, = struct.unpack_from("<H", image, pe + 6)
    optional_size, = struct.unpack_from("<H", image, pe + 20)
    optional = pe + 24
    magic, = struct.unpack_from("<H", image, optional)
    if magic == 0x10B:  # PE32
        image_base, = struct.unpack_from("<I", image, optional + 28)
        directories = optional + 96
    elif magic == 0x20B:  # PE32+
        image_base, = struct.unpack_from("<Q", image, optional + 24)
        directories = optional + 112
    else:
        fail(f"{image_path}: unknown optional header magic {magic:#x}")
    directory_count, = struct.unpack_from("<I", image, directories - 4)
    if directory_count <= LOAD_CONFIG:
        fail(f"{image_path} has only {directory_count} data directories")

    rva = symbol_address(map_path, symbol) - image_base
    sections = optional + optional_size
    offset = None
    for i in range(section_count):
        header = sections + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<IIII", image, header + 8)
        if virtual_address <= rva < virtual_address + min(virtual_size, raw_size):
            offset = raw_offset + rva - virtual_address
    if offset is None:
        fail(f"{symbol} at RVA {rva:#x} is in no section's file data")
    record_size, = struct.unpack_from("<I", image, offset)
    size = 64 if magic == 0x10B else record_size
    if record_size < size:
        fail(f"{symbol} says it is {record_size} bytes, less than {size}")

    entry = directories + 8 * LOAD_CONFIG
    current = struct.unpack_from("<II", image, entry)
    if current == (rva, size):
        print(f"pe_load_config: the linker filled the directory: RVA {rva:#x}, {size} bytes")
        return
    if current != (0, 0):
        fail(f"the directory says RVA {current[0]:#x}, {current[1]} bytes, "
             f"not {symbol} at RVA {rva:#x}, {size} bytes")
    struct.pack_into("<II", image, entry, rva, size)
    checksum_offset = optional + 64
    if struct.unpack_from("<I", image, checksum_offset)[0]:
        struct.pack_into("<I", image, checksum_offset, pe_checksum(image, checksum_offset))
    with open(image_path, "r+b") as out:
        out.write(image)
    print(f"pe_load_config: load-configuration directory: RVA {rva:#x}, {size} bytes")


if __name__ == "__main__":
    main()
