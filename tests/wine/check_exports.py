#!/usr/bin/env python3
"""Reads the export and import tables of Notavero.dll and checks the
library's boundary with its hosts.

usage: check_exports.py DLL x64|x86

Checks: the machine type; GetDriver exported by name at ordinal 1; exactly
the names of driver/Notavero.def exported (GetDriver and the C interface),
each once, under its plain name (no decorated duplicate such as
GetDriver@8, no export by ordinal alone); only Windows system DLLs imported,
none of the compiler's runtime DLLs; a version resource whose file and
product version are the project's (CMakeLists.txt).
Prints the export table and one line per failed check; exits 1 on failure.
"""
import pathlib
import re
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
_DEF = (ROOT / "driver" / "Notavero.def").read_text().split("EXPORTS", 1)[1]
EXPECTED = {line.split()[0] for line in _DEF.splitlines() if line.strip() and not line.startswith(";")}
VERSION = re.search(r"project\(notavero VERSION (\d+)\.(\d+)\.(\d+)", (ROOT / "CMakeLists.txt").read_text())
MACHINES = {"x64": 0x8664, "x86": 0x014C}
# What a Windows host has without installing anything.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "advapi32.dll", "user32.dll"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.export_rva, _ = struct.unpack_from("<II", data, directories)
        self.import_rva, _ = struct.unpack_from("<II", data, directories + 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError(f"RVA {rva:#x} outside every section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        """(ordinal, name or None, function RVA) for every export."""
        if self.export_rva == 0:
            return []
        d = self.export_rva
        base, functions, names = self.u32(d + 16), self.u32(d + 20), self.u32(d + 24)
        address_table, name_table, ordinal_table = self.u32(d + 28), self.u32(d + 32), self.u32(d + 36)
        named = {}
        for i in range(names):
            named[self.u16(ordinal_table + 2 * i)] = self.text(self.u32(name_table + 4 * i))
        result = []
        for i in range(functions):
            rva = self.u32(address_table + 4 * i)
            if rva != 0:
                result.append((base + i, named.get(i), rva))
        return result

    def imports(self):
        result = []
        d = self.import_rva
        while d and self.u32(d + 12) != 0:
            result.append(self.text(self.u32(d + 12)))
            d += 20
        return result


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in MACHINES:
        sys.exit(__doc__)
    path, arch = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        image = Image(f.read())
    failures = []
    if image.machine != MACHINES[arch]:
        failures.append(f"machine {image.machine:#06x}, expected {MACHINES[arch]:#06x} ({arch})")
    exports = image.exports()
    for ordinal, name, rva in exports:
        print(f"  export {ordinal:3} {name or '(no name)'} at {rva:#x}")
    names = [name for _, name, _ in exports]
    by_name = {name: ordinal for ordinal, name, _ in exports if name}
    if by_name.get("GetDriver") != 1:
        failures.append(f"GetDriver at ordinal {by_name.get('GetDriver')}, expected 1")
    if set(by_name) != EXPECTED:
        failures.append(f"exports {sorted(by_name)}, expected {sorted(EXPECTED)}")
    if len(names) != len(set(names)) or None in names:
        failures.append("an export without a name or a name exported twice")
    rvas = [rva for _, _, rva in exports]
    if len(rvas) != len(set(rvas)):
        failures.append("a function exported twice (a decorated duplicate?)")
    if any("@" in (name or "") for name in names):
        failures.append("a decorated name is exported")
    imports = image.imports()
    print(f"  imports {', '.join(imports)}")
    foreign = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS]
    if foreign:
        failures.append(f"imports DLLs a host does not have: {', '.join(foreign)}")
    # VS_FIXEDFILEINFO: its signature, the struct's version, then the file
    # and product versions as (minor, major, build, patch) 16-bit words.
    major, minor, patch = (int(part) for part in VERSION.groups())
    fixed = image.data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))
    if fixed < 0:
        failures.append("no version resource")
    else:
        file_version = struct.unpack_from("<4H", image.data, fixed + 8)
        product_version = struct.unpack_from("<4H", image.data, fixed + 16)
        print(f"  version resource: file {file_version[1]}.{file_version[0]}.{file_version[3]}.{file_version[2]}")
        if file_version != (minor, major, 0, patch) or product_version != file_version:
            failures.append(f"version resource {file_version}/{product_version}, expected {major}.{minor}.{patch}.0")
        if f"{major}.{minor}.{patch}".encode("utf-16-le") not in image.data:
            failures.append("no version string in the version resource")
    for failure in failures:
        print(f"{path}: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
