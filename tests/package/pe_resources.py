#!/usr/bin/env python3
"""Reads the version resource and the application manifest out of a PE file (an .exe), without
Windows: the checks of the Windows zip use it to see what Explorer would show in the file's
properties.

    pe_resources.py EXE        prints "key=value" lines: fixed.FileVersion, fixed.ProductVersion,
                               every StringFileInfo value, and manifest=<the manifest's XML>
"""
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        table = pe + 24 + optional_size
        self.sections = []
        for i in range(sections):
            name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0"), rva, max(vsize, rawsize), rawptr))
        # Data directory 2 is the resource table; its place follows the optional header's magic.
        magic = struct.unpack_from("<H", data, pe + 24)[0]
        directories = pe + 24 + (112 if magic == 0x20B else 96)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def resources(self, type_id):
        """The data of every resource of one type (all names, all languages)."""
        if self.resource_rva == 0:
            return []
        base = self.offset(self.resource_rva)
        found = []

        def walk(directory, level):
            named, numbered = struct.unpack_from("<12xHH", self.data, base + directory)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if level == 0 and ident != type_id:
                    continue
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, level + 1)
                else:
                    rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(rva)
                    found.append(self.data[start:start + size])

        walk(0, 0)
        return found


def version_blocks(data, start, end):
    """Yields (key, value bytes, value type, children start, block end) for each block."""
    while start + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, start)
        if length == 0:
            return
        key_end = start + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[start + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        children = (value_start + value_bytes + 3) & ~3
        yield key, data[value_start:value_start + value_bytes], kind, children, start + length
        start = (start + length + 3) & ~3


def version_values(block):
    values = {}
    for key, value, _, children, end in version_blocks(block, 0, len(block)):
        if key != "VS_VERSION_INFO":
            continue
        signature, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", value)
        if signature != 0xFEEF04BD:
            raise ValueError("VS_FIXEDFILEINFO without its signature")
        values["fixed.FileVersion"] = f"{fms >> 16}.{fms & 0xFFFF}.{fls >> 16}.{fls & 0xFFFF}"
        values["fixed.ProductVersion"] = f"{pms >> 16}.{pms & 0xFFFF}.{pls >> 16}.{pls & 0xFFFF}"
        for info, _, _, info_children, info_end in version_blocks(block, children, end):
            if info != "StringFileInfo":
                continue
            for _, _, _, table_children, table_end in version_blocks(block, info_children, info_end):
                for name, text, _, _, _ in version_blocks(block, table_children, table_end):
                    values[name] = text.decode("utf-16-le").rstrip("\0")
    return values


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pe = Pe(open(sys.argv[1], "rb").read())
    for block in pe.resources(RT_VERSION):
        for key, value in version_values(block).items():
            print(f"{key}={value}")
    for manifest in pe.resources(RT_MANIFEST):
        print("manifest=" + " ".join(manifest.decode("utf-8").split()))


if __name__ == "__main__":
    main()
