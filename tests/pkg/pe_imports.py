#!/usr/bin/env python3
"""The DLLs a Windows executable imports the ordinary way, from its PE import
table. Windows resolves these before the program's first instruction,
looking for each in the program's own folder first unless it is a KnownDLL:
a shipped executable may import nothing else that way (delay-loaded DLLs are
the program's own business after it has limited the search path).

Usage: pe_imports.py EXE...   (exit status 1 when one imports anything else)
"""

import struct
import sys

# Windows' KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session
# Manager\KnownDLLs, Windows 10 and 11), and ntdll, which every process has
# before anything is looked for.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll", "comdlg32.dll", "coml2.dll", "difxapi.dll",
    "gdi32.dll", "gdiplus.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll", "msctf.dll",
    "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
    "user32.dll", "wldap32.dll", "ws2_32.dll", "ntdll.dll",
}
# The common controls 6 come from the side-by-side store when the program's
# manifest asks for them, never from its folder.
SIDE_BY_SIDE = {"comctl32.dll": b"Microsoft.Windows.Common-Controls"}


def imports(data):
    """The DLL names of the import directory, in order."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    table = [struct.unpack_from("<8xII4xI", data, optional + optional_size + 40 * i)
             for i in range(sections)]

    def offset(rva):
        for size, address, raw in table:
            if address <= rva < address + size:
                return rva - address + raw
        raise ValueError("RVA %#x outside every section" % rva)

    names = []
    at = offset(import_rva) if import_rva else None
    while at is not None:
        descriptor = struct.unpack_from("<5I", data, at)
        if not any(descriptor):
            break
        start = offset(descriptor[3])
        names.append(data[start:data.index(b"\0", start)].decode("ascii"))
        at += 20
    return names


def refused(path):
    """What `path` imports that may be planted beside it."""
    with open(path, "rb") as f:
        data = f.read()
    out = []
    for name in imports(data):
        lower = name.lower()
        if lower in KNOWN_DLLS or (lower in SIDE_BY_SIDE and SIDE_BY_SIDE[lower] in data):
            continue
        out.append(name)
    return out


def main(paths):
    status = 0
    for path in paths:
        bad = refused(path)
        print("%s: %s" % (path, "only KnownDLLs" if not bad else "imports " + ", ".join(bad)))
        status |= 1 if bad else 0
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
