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
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    wide = struct.unpack_from("<H", data, optional)[0] == 0x20B  # PE32+
    import_rva = struct.unpack_from("<I", data, optional + (120 if wide else 104))[0]
    table = [struct.unpack_from("<8xII4xI", data, optional + optional_size + 40 * i) for i in range(sections)]

    def offset(rva):
        return next(rva - address + raw for size, address, raw in table if address <= rva < address + size)

    names, at = [], offset(import_rva) if import_rva else None
    while at is not None and any(struct.unpack_from("<5I", data, at)):
        start = offset(struct.unpack_from("<12xI", data, at)[0])
        names.append(data[start:data.index(b"\0", start)].decode("ascii"))
        at += 20
    return names


def refused(path):
    """What `path` imports that may be planted beside it."""
    with open(path, "rb") as f:
        data = f.read()
    return [name for name in imports(data) if name.lower() not in KNOWN_DLLS and
            SIDE_BY_SIDE.get(name.lower(), b"\0no manifest") not in data]


def main(paths):
    status = 0
    for path in paths:
        bad = refused(path)
        print("%s: %s" % (path, "imports " + ", ".join(bad) if bad else "only KnownDLLs"))
        status |= 1 if bad else 0
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
