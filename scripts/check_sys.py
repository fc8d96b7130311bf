#!/usr/bin/env python3
"""Checks a built kernel driver image (PE32+) for what Windows requires of it.

Usage: check_sys.py IMAGE NM

Fails (exit 1, one line per finding) unless: the subsystem is native (1); the
entry point is DriverEntry; every imported module is one a HID minidriver may
use; no section holds constructors (.ctors, .dtors, .init_array, .fini_array);
no section is both writable and executable; .reloc and .pdata are there (the
image can be relocated, and x64 stack walks find their unwind data); the
image asks for ASLR and NX; and the PE checksum is valid.
"""
import struct
import subprocess
import sys

ALLOWED_IMPORTS = {"ntoskrnl.exe", "hal.dll", "hidclass.sys", "usbd.sys"}
CONSTRUCTOR_SECTIONS = {".ctors", ".dtors", ".init_array", ".fini_array"}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100


def pe_checksum(data, checksum_offset):
    total = 0
    length = len(data)
    padded = data + (b"\0" if length % 2 else b"")
    for i in range(0, len(padded), 2):
        if i == checksum_offset or i == checksum_offset + 2:
            continue
        total += padded[i] | padded[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    path, nm = sys.argv[1], sys.argv[2]
    data = open(path, "rb").read()
    found = []

    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        print(f"{path}: not a PE image")
        return 1
    sections_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    if struct.unpack_from("<H", data, opt)[0] != 0x20B:
        found.append("not a PE32+ (x86-64) image")
    entry_rva, = struct.unpack_from("<I", data, opt + 16)
    image_base, = struct.unpack_from("<Q", data, opt + 24)
    checksum_offset = opt + 64
    checksum, subsystem, dll_characteristics = struct.unpack_from("<IHH", data, checksum_offset)
    directories = opt + 112

    sections = []
    for i in range(sections_count):
        at = opt + optional_size + 40 * i
        name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        vsize, vaddr, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
        characteristics, = struct.unpack_from("<I", data, at + 36)
        sections.append((name, vaddr, max(vsize, raw_size), raw_at, characteristics))

    def file_offset(rva):
        for name, vaddr, size, raw_at, _ in sections:
            if vaddr <= rva < vaddr + size:
                return raw_at + rva - vaddr
        raise ValueError(f"RVA {rva:#x} in no section")

    if subsystem != 1:
        found.append(f"subsystem {subsystem}, not 1 (native)")

    symbols = subprocess.run([nm, path], capture_output=True, text=True, check=True).stdout.split("\n")
    entry = [int(line.split()[0], 16) for line in symbols if line.endswith(" DriverEntry") and " T " in line]
    if not entry:
        found.append("no DriverEntry symbol")
    elif entry[0] - image_base != entry_rva:
        found.append(f"entry point {entry_rva:#x} is not DriverEntry ({entry[0] - image_base:#x})")

    import_rva, import_size = struct.unpack_from("<II", data, directories + 8)
    imports = []
    at = file_offset(import_rva) if import_size else None
    while at is not None:
        name_rva, = struct.unpack_from("<I", data, at + 12)
        if name_rva == 0:
            break
        name_at = file_offset(name_rva)
        imports.append(data[name_at:data.index(b"\0", name_at)].decode("ascii"))
        at += 20
    for module in imports:
        if module.lower() not in ALLOWED_IMPORTS:
            found.append(f"imports {module}, which a kernel driver cannot load")
    if "ntoskrnl.exe" not in (m.lower() for m in imports):
        found.append("does not import ntoskrnl.exe")

    names = {s[0] for s in sections}
    for name, _, _, _, characteristics in sections:
        if name in CONSTRUCTOR_SECTIONS:
            found.append(f"section {name}: constructors that no kernel runs")
        if characteristics & SCN_MEM_EXECUTE and characteristics & SCN_MEM_WRITE:
            found.append(f"section {name} is both writable and executable")
    for needed in (".reloc", ".pdata"):
        if needed not in names:
            found.append(f"no {needed} section")
    if not dll_characteristics & DYNAMIC_BASE:
        found.append("not marked relocatable (dynamic base)")
    if not dll_characteristics & NX_COMPAT:
        found.append("not marked NX compatible")
    if checksum != pe_checksum(data, checksum_offset):
        found.append(f"checksum {checksum:#x}, the image sums to {pe_checksum(data, checksum_offset):#x}")

    for f in found:
        print(f"{path}: {f}")
    if not found:
        print(f"{path}: native driver, entry DriverEntry, imports {', '.join(imports)}; sections "
              f"{' '.join(s[0] for s in sections)}; checksum {checksum:#x}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
