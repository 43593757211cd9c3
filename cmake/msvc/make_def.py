#!/usr/bin/env python3
"""Writes a module-definition (.def) file listing the exports of a Windows DLL.

Usage: make_def.py DLL DEF

Import libraries for the runtime DLLs (ucrtbase, vcruntime140, msvcp140, kernel32) are made
from such files. Wine's builtin DLLs carry the export names of Microsoft's, so they serve as
the list. An export whose address lies outside every executable section is data (vftables,
std::cout, ...) and is marked DATA, so that code refers to it through __imp_ only; forwarded
exports keep their names.
"""
import struct
import sys

IMAGE_SCN_MEM_EXECUTE = 0x20000000


def exports(path):
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise SystemExit(f"{path}: not a PE image")
    sections_count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise SystemExit(f"{path}: not a 64-bit image")
    export_rva, export_size = struct.unpack_from("<II", image, optional + 112)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        vsize, rva, raw_size, raw = struct.unpack_from("<IIII", image, at + 8)
        flags = struct.unpack_from("<I", image, at + 36)[0]
        sections.append((rva, max(vsize, raw_size), raw, flags))

    def offset(rva):
        for start, size, raw, _ in sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise SystemExit(f"{path}: RVA {rva:#x} outside every section")

    def is_code(rva):
        return any(start <= rva < start + size and flags & IMAGE_SCN_MEM_EXECUTE
                   for start, size, _, flags in sections)

    def text(rva):
        at = offset(rva)
        return image[at:image.index(b"\0", at)].decode("ascii")

    directory = offset(export_rva)
    (name_rva, base, functions_count, names_count, functions, names,
     ordinals) = struct.unpack_from("<12xIIIIIII", image, directory)
    result = []
    for i in range(names_count):
        name = text(struct.unpack_from("<I", image, offset(names) + 4 * i)[0])
        index = struct.unpack_from("<H", image, offset(ordinals) + 2 * i)[0]
        rva = struct.unpack_from("<I", image, offset(functions) + 4 * index)[0]
        forwarded = export_rva <= rva < export_rva + export_size
        result.append((name, not forwarded and not is_code(rva)))
    return text(name_rva), result


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    dll_name, names = exports(sys.argv[1])
    with open(sys.argv[2], "w") as out:
        out.write(f"; Exports of {dll_name}, made by make_def.py from {sys.argv[1]}\n")
        out.write(f"LIBRARY {dll_name}\nEXPORTS\n")
        for name, data in sorted(names):
            out.write(f"    {name}{' DATA' if data else ''}\n")


if __name__ == "__main__":
    main()
