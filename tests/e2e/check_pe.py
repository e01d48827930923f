#!/usr/bin/env python3
"""Build check of RL_PATCH.EXE, read from the file's own bytes (and the linker's map).

    check_pe.py [--map MAP] EXE MACHINE
    check_pe.py --mutations [--map MAP] EXE MACHINE
    check_pe.py --max-size BYTES EXE MACHINE

MACHINE is i386 (the product) or x86-64 (the Wine test build). Checks the PE format and machine,
the GUI subsystem; the flags DYNAMIC_BASE (with relocations to apply), NX_COMPAT and
large-address aware; a stack reservation of at least 1 MiB (the worker thread commits 64 KiB of
it); imports from KERNEL32, USER32, ADVAPI32 and msvcrt only, none delay-loaded; the
load-configuration directory with the dependent-load flag LOAD_LIBRARY_SEARCH_SYSTEM32 and no
security cookie or SafeSEH table; the header checksum. With --map (ld -Map): the entry point is RlPatchStart, nothing of the C++ runtime,
winpthreads or MinGW's start-up code and printf is linked, and no static constructors or
destructors exist (there is no start-up code to run them).
Prints what it found; exits 1 if a rule is broken, 2 on bad usage.

--mutations checks the checker: it damages copies of EXE (and MAP) in memory, one way per row of
a table, and fails unless the check reports each damage.
--max-size checks only the file's size against the budget, and prints it.
"""
import argparse
import os
import re
import struct
import sys

MACHINES = {"i386": 0x14C, "x86-64": 0x8664}
ALLOWED_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"}
# Archives the product may take members from: the import libraries and libgcc's helpers (zlib's
# inflater is compiled into it from third_party/zlib).
ALLOWED_ARCHIVES = {"libkernel32.a", "libuser32.a", "libadvapi32.a", "libmsvcrt.a", "libgcc.a"}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
IMAGE_FILE_RELOCS_STRIPPED = 0x1
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x20
DYNAMIC_BASE = 0x40
NX_COMPAT = 0x100
MIN_STACK_RESERVE = 1 << 20
IMPORT, RELOC, LOAD_CONFIG, DELAY_IMPORT = 1, 5, 10, 13


class Image:
    """The headers of a PE image, read from its bytes; raises ValueError when they are not
    there."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        self.optional = self.pe + 24
        self.magic, = struct.unpack_from("<H", data, self.optional)
        if self.magic not in (0x10B, 0x20B):
            raise ValueError(f"unknown optional header magic {self.magic:#x}")
        self.pe32 = self.magic == 0x10B
        o = self.optional
        self.entry, = struct.unpack_from("<I", data, o + 16)
        self.checksum_offset = o + 64
        self.checksum, self.subsystem, self.dll_characteristics = struct.unpack_from(
            "<IHH", data, o + 64)
        if self.pe32:
            self.stack_reserve_offset, directories = o + 72, o + 96
            self.stack_reserve, = struct.unpack_from("<I", data, self.stack_reserve_offset)
        else:
            self.stack_reserve_offset, directories = o + 72, o + 112
            self.stack_reserve, = struct.unpack_from("<Q", data, self.stack_reserve_offset)
        count, = struct.unpack_from("<I", data, directories - 4)
        self.directory_offset = directories
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(min(count, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        table = o + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8)
                         for i in range(section_count)]

    def offset(self, rva, length=1):
        """File offset of length bytes at rva, all inside one section's file data."""
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva and rva + length <= address + min(virtual_size, raw_size):
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} is outside the sections' file data")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")


def pe_checksum(data, checksum_offset):
    """The PE header checksum: the file's 16-bit words summed with the carries folded back,
    the checksum field counted as zero, plus the file's length."""
    length = len(data)
    data = bytes(data[:checksum_offset]) + b"\0\0\0\0" + bytes(data[checksum_offset + 4:])
    if length % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16) + length) & 0xFFFFFFFF


def imports(image):
    """[(dll name, function count)] of the import directory."""
    rva, _ = image.directories[IMPORT]
    found = []
    while rva:
        lookup, _, _, name, first = struct.unpack_from("<IIIII", image.data, image.offset(rva, 20))
        if not name and not first:
            break
        thunk, width, count = lookup or first, 4 if image.pe32 else 8, 0
        while struct.unpack_from("<I" if image.pe32 else "<Q", image.data,
                                 image.offset(thunk + width * count, width))[0]:
            count += 1
        found.append((image.string(name), count))
        rva += 20
    return found


def check_size(data, max_size):
    """(lines of what was found, failures)."""
    info = [f"size: {len(data)} bytes, budget {max_size} ({max_size - len(data)} to spare)"]
    if len(data) > max_size:
        return info, [f"{len(data)} bytes, over the budget of {max_size} bytes"]
    return info, []


def check_image(data, machine):
    """(lines of what was found, failures)."""
    info, failures = [], []
    try:
        image = Image(data)
    except (ValueError, struct.error) as error:
        return info, [f"not a PE image: {error}"]
    names = {v: k for k, v in MACHINES.items()}
    info.append(f"format: {'PE32' if image.pe32 else 'PE32+'}, "
                f"{names.get(image.machine, hex(image.machine))}, subsystem {image.subsystem}")
    if image.machine != MACHINES[machine] or image.pe32 != (machine == "i386"):
        failures.append(f"machine {image.machine:#x}, expected {machine}")
    if image.subsystem != 2:
        failures.append(f"subsystem {image.subsystem}, expected 2 (Windows GUI)")

    flags = [name for bit, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"), (NX_COMPAT, "NX_COMPAT"))
             if image.dll_characteristics & bit]
    if image.characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE:
        flags.append("LARGE_ADDRESS_AWARE")
    info.append(f"flags: {', '.join(flags)}")
    for name in ("DYNAMIC_BASE", "NX_COMPAT", "LARGE_ADDRESS_AWARE"):
        if name not in flags:
            failures.append(f"{name} is not set")
    # Without relocations the loader cannot move the image, whatever DYNAMIC_BASE says.
    if image.characteristics & IMAGE_FILE_RELOCS_STRIPPED or not image.directories[RELOC][1]:
        failures.append("no base relocations: DYNAMIC_BASE cannot take effect")

    info.append(f"stack reserve: {image.stack_reserve} bytes")
    if image.stack_reserve < MIN_STACK_RESERVE:
        failures.append(f"stack reserve of {image.stack_reserve} bytes, "
                        f"less than {MIN_STACK_RESERVE}")

    try:
        found = imports(image)
    except (ValueError, struct.error) as error:
        found, failures = [], failures + [f"unreadable import directory: {error}"]
    info.append("imports: " + ", ".join(f"{dll} ({count})" for dll, count in found))
    if not found:
        failures.append("no imports found")
    for dll, _ in found:
        if dll.upper() not in ALLOWED_DLLS:
            failures.append(f"imports {dll}, which is not a system DLL allowed")
    if image.directories[DELAY_IMPORT][1]:
        failures.append("has delay-loaded imports")

    failures += check_load_config(image, info)
    if image.checksum and image.checksum != pe_checksum(data, image.checksum_offset):
        failures.append(f"header checksum {image.checksum:#x} does not match the file")
    return info, failures


def check_load_config(image, info):
    rva, size = image.directories[LOAD_CONFIG]
    if not rva:
        return ["no load-configuration directory (dependent-load flags)"]
    # Offsets of the fields in IMAGE_LOAD_CONFIG_DIRECTORY32 / 64.
    if image.pe32:
        fields = {"dependent": (54, "H"), "cookie": (60, "I"), "table": (64, "I"),
                  "count": (68, "I")}
    else:
        fields = {"dependent": (78, "H"), "cookie": (88, "Q")}
    try:
        start = image.offset(rva, 4)
        record_size, = struct.unpack_from("<I", image.data, start)
        image.offset(rva, max(record_size, size))
        values = {key: struct.unpack_from("<" + kind, image.data, start + at)[0]
                  for key, (at, kind) in fields.items()}
    except (ValueError, struct.error) as error:
        return [f"unreadable load-configuration record: {error}"]
    info.append(f"load configuration: RVA {rva:#x}, directory {size} bytes, record "
                f"{record_size} bytes, dependent-load flags {values['dependent']:#x}")
    failures = []
    # x86 loaders want 64 in the directory; x64 ones the record's own size.
    expected = 64 if image.pe32 else record_size
    if size != expected or record_size < 64:
        failures.append(f"load-configuration sizes: directory {size}, record {record_size}")
    if values["dependent"] != LOAD_LIBRARY_SEARCH_SYSTEM32:
        failures.append(f"dependent-load flags {values['dependent']:#x}, expected "
                        f"{LOAD_LIBRARY_SEARCH_SYSTEM32:#x} (LOAD_LIBRARY_SEARCH_SYSTEM32)")
    # The program has no security cookie and no SafeSEH table for the loader to use.
    for key in ("cookie", "table", "count"):
        if values.get(key):
            failures.append(f"load-configuration field {key} is {values[key]:#x}, expected 0")
    return failures


def check_map(text, image_data):
    """(lines of what was found, failures) from the linker's map."""
    info, failures = [], []
    head = re.split(r"^(?:Discarded input sections|Memory Configuration)", text, 1, re.M)[0]
    archives = sorted({os.path.basename(m) for m in re.findall(r"^(\S+\.a)\(", head, re.M)})
    info.append(f"linked from archives: {', '.join(archives)}")
    for archive in archives:
        if archive not in ALLOWED_ARCHIVES:
            failures.append(f"links members of {archive}")
    if re.search(r"^LOAD \S*crt\w*\.o$", text, re.M):
        failures.append("links C runtime start-up files")
    # Input sections of static constructors and destructors (also when the name is on a line of
    # its own, the address and size on the next).
    for name, size, source in re.findall(
            r"^ (\.ctors(?:\.\d+)?|\.dtors(?:\.\d+)?|\.CRT\$X[CIPT]\w*)\s+0x[0-9a-f]+\s+"
            r"0x([0-9a-f]+)\s+(\S+)", text, re.M):
        if int(size, 16):
            failures.append(f"static constructor or destructor ({name}) in {source}")
    entry = re.search(r"^\s+0x([0-9a-f]+)\s+RlPatchStart(?:@\d+)?$", text, re.M)
    try:
        image = Image(image_data)
        base = struct.unpack_from("<I" if image.pe32 else "<Q", image_data,
                                  image.optional + (28 if image.pe32 else 24))[0]
    except (ValueError, struct.error):
        return info, failures + ["not a PE image"]
    if not entry or int(entry.group(1), 16) - base != image.entry:
        failures.append("the entry point is not RlPatchStart")
    else:
        info.append("entry point: RlPatchStart")
    return info, failures


def check(data, map_text, machine):
    info, failures = check_image(data, machine)
    if map_text is not None:
        more_info, more_failures = check_map(map_text, data)
        info, failures = info + more_info, failures + more_failures
    return info, failures


def mutations(data, map_text, machine):
    """Each row damages a copy of the image or the map; the check must report it."""
    image = Image(data)

    # The damaged copies carry a checksum that matches them, so that each damage is the only
    # thing wrong with its copy.
    def resummed(copy):
        if image.checksum:
            struct.pack_into("<I", copy, image.checksum_offset,
                             pe_checksum(copy, image.checksum_offset))
        return copy

    def patched(offset, fmt, *values):
        copy = bytearray(data)
        struct.pack_into(fmt, copy, offset, *values)
        return resummed(copy)

    def renamed_import(old, new):
        copy = bytearray(data)
        at = bytes(copy).upper().index(old.upper() + b"\0")
        copy[at:at + len(new)] = new
        return resummed(copy)

    dll_flags = image.optional + 70
    lc_entry = image.directory_offset + 8 * LOAD_CONFIG
    lc_rva = image.directories[LOAD_CONFIG][0]
    dependent = image.offset(lc_rva) + (54 if image.pe32 else 78)
    stack = ("<I" if image.pe32 else "<Q")
    member = "/usr/lib/gcc/x/libwinpthread.a(thread.o)\n                              x.o (pthread_create)\n"
    ctor = "\n .ctors         0x0000000000401000        0x4 window_win32.cpp.obj\n"
    rows = [
        ("DYNAMIC_BASE cleared", patched(dll_flags, "<H", image.dll_characteristics & ~DYNAMIC_BASE),
         None, "DYNAMIC_BASE"),
        ("NX_COMPAT cleared", patched(dll_flags, "<H", image.dll_characteristics & ~NX_COMPAT),
         None, "NX_COMPAT"),
        ("large-address aware cleared",
         patched(image.pe + 22, "<H", image.characteristics & ~IMAGE_FILE_LARGE_ADDRESS_AWARE),
         None, "LARGE_ADDRESS_AWARE"),
        ("a planted import", renamed_import(b"USER32.dll", b"DWMAPI.dll"), None, "DWMAPI.dll"),
        ("64 KiB stack reserve", patched(image.stack_reserve_offset, stack, 65536), None,
         "stack reserve"),
        ("no dependent-load flags", patched(dependent, "<H", 0), None, "dependent-load flags"),
        ("no load-configuration directory", patched(lc_entry, "<II", 0, 0), None,
         "load-configuration"),
        ("stale checksum", bytearray(data[:-1]) + bytes([data[-1] ^ 1]), None, "checksum"),
    ]
    if map_text is not None:
        first = map_text.index("\n") + 1
        rows += [
            ("winpthreads linked", data, map_text[:first] + member + map_text[first:],
             "libwinpthread.a"),
            ("a static constructor", data, map_text + ctor, "static constructor"),
        ]
    results = [(name, check(damaged, map_text if damaged_map is None else damaged_map, machine)[1],
                 expected)
               for name, damaged, damaged_map, expected in rows
               if name != "stale checksum" or image.checksum]
    results.append(("one byte over the budget", check_size(data, len(data) - 1)[1], "budget"))
    failed = 0
    for name, failures, expected in results:
        caught = any(expected in failure for failure in failures)
        print(f"{'caught' if caught else 'MISSED'}: {name}: {'; '.join(failures) or 'no failure'}")
        failed += not caught
    return failed


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("exe")
    parser.add_argument("machine", choices=sorted(MACHINES))
    parser.add_argument("--map")
    parser.add_argument("--max-size", type=int)
    parser.add_argument("--mutations", action="store_true")
    args = parser.parse_args()
    try:
        data = open(args.exe, "rb").read()
        map_text = open(args.map, encoding="utf-8", errors="replace").read() if args.map else None
    except OSError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    if args.mutations:
        _, failures = check(data, map_text, args.machine)
        if failures:
            print("FAIL: the undamaged image fails already: " + "; ".join(failures))
            return 1
        return 1 if mutations(data, map_text, args.machine) else 0
    if args.max_size is not None:
        info, failures = check_size(data, args.max_size)
    else:
        info, failures = check(data, map_text, args.machine)
    print(f"{args.exe}:")
    for line in info:
        print(f"  {line}")
    for failure in failures:
        print(f"FAIL: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
