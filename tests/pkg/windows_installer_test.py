#!/usr/bin/env python3
"""The Windows installer and zip, built by cpack from the Windows build, under
Wine in a throw-away prefix: the zip's files; a silent install (files under
Program Files, the Start-menu shortcut, the uninstall entry, the firewall rule
for UDP port 69); the installed program in line mode up to its model menu; a
silent uninstall that leaves nothing behind (but the user's state folder,
as the Rom folders) and removes the rule. Every
executable shipped (the program in the zip and installed, the installer, the
uninstaller) imports only KnownDLLs the ordinary way.

The installed program only ever shows its model menu here: this runs in the
machine's own network namespace.

Usage: windows_installer_test.py WINDOWS_BUILD VERSION
Exit status 77 (skipped) without Wine, makensis or the Windows build.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_imports  # noqa: E402
import wine  # noqa: E402

RULE = ('advfirewall firewall %s rule name="Brickfix TFTP" '
        'program="C:\\Program Files\\Brickfix\\brickfix.exe"')
NARROW = "protocol=UDP localport=69 localip=192.168.1.88 remoteip=192.168.1.0/24 dir=in action=allow"
ADD_RULE = RULE % "add" + " " + NARROW
DELETE_RULE = RULE % "delete"
KEYS = [r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brickfix",
        r"HKLM\Software\Brickfix\Brickfix"]
MENU_END = "5. 通用（recovery.bin）"


def files_of(drive_c):
    """Every file and folder under drive_c, but the temporary folders."""
    out = set()
    for root, dirs, names in os.walk(drive_c):
        rel = os.path.relpath(root, drive_c)
        dirs[:] = [d for d in dirs if d.lower() != "temp"]
        out.update(os.path.join(rel, n) for n in dirs + names)
    return out


def main():
    winbuild, version = os.path.abspath(sys.argv[1]), sys.argv[2]
    wine64 = wine.find_wine()
    if not wine64:
        print("SKIPPED: Wine (wine64) is not installed")
        return 77
    if not shutil.which("makensis"):
        print("SKIPPED: makensis (nsis) is not installed")
        return 77
    config = os.path.join(winbuild, "CPackConfig.cmake")
    if not os.path.exists(config) or not os.path.exists(os.path.join(winbuild, "command_standin.exe")):
        print("SKIPPED: no Windows build in %s (scripts/build-windows.sh)" % winbuild)
        return 77
    tmp = tempfile.mkdtemp(prefix="bfx-installer-")
    prefix = os.path.join(tmp, "prefix")
    env = wine.wine_env(prefix)
    records = os.path.join(tmp, "netsh")
    os.makedirs(records)
    env.update({"BRICKFIX_STANDIN_DIR": wine.windows_path(records),
                "BRICKFIX_STANDIN_RECORD_ONLY": "1"})
    wineserver = os.path.join(os.path.dirname(wine64), "wineserver")
    failures = []

    def check(cond, what):
        print(("ok   " if cond else "FAIL ") + what, flush=True)
        if not cond:
            failures.append(what)

    def run(*args, **kwargs):
        return subprocess.run([wine64] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=180, **kwargs)

    def settle():
        subprocess.run([wineserver, "-w"], env=env, timeout=180)

    def recorded():
        out = []
        for n in range(1, 100):
            path = os.path.join(records, "%d.cmd" % n)
            if not os.path.exists(path):
                break
            with open(path, encoding="utf-8") as f:
                out.append(f.read())
        return out

    try:
        r = subprocess.run(["cpack", "--config", config, "-B", os.path.join(tmp, "out")],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
        if r.returncode != 0:
            print(r.stdout)
        check(r.returncode == 0, "cpack builds the installer and the zip")
        base = os.path.join(tmp, "out", "brickfix-%s-win64" % version)
        with zipfile.ZipFile(base + ".zip") as z:
            names = sorted(z.namelist())
            readme = z.read("brickfix-%s-win64/README.txt" % version).decode("utf-8")
            z.extract("brickfix-%s-win64/brickfix.exe" % version, os.path.join(tmp, "zip"))

        def only_known_dlls(what, path):
            bad = pe_imports.refused(path)
            check(not bad, "%s imports only KnownDLLs the ordinary way: %r" % (what, bad))
        only_known_dlls("the zip's brickfix.exe",
                        os.path.join(tmp, "zip", "brickfix-%s-win64" % version, "brickfix.exe"))
        only_known_dlls("the installer", base + ".exe")
        check(names == ["brickfix-%s-win64/README.txt" % version,
                        "brickfix-%s-win64/brickfix.exe" % version], "the zip holds %r" % names)
        check("netsh advfirewall firewall add rule" in readme and NARROW in readme and "\r\n" in readme,
              "the zip's README says how to add the narrow firewall rule")

        wine.PrefixTemplate(winbuild, wine64).ensure()
        wine.PrefixTemplate(winbuild, wine64).copy(prefix)
        drive_c = os.path.join(prefix, "drive_c")
        run("reg", "query", r"HKLM\Software")  # Wine's own first start writes a few files
        settle()
        before = files_of(drive_c)

        r = run(base + ".exe", "/S")
        settle()
        check(r.returncode == 0, "the silent install succeeds (%d)" % r.returncode)
        folder = os.path.join(drive_c, "Program Files", "Brickfix")
        check(sorted(os.listdir(folder)) == ["README.txt", "Uninstall.exe", "brickfix.exe"]
              if os.path.isdir(folder) else False, "Program Files\\Brickfix holds the program")
        for program in ("brickfix.exe", "Uninstall.exe"):
            if os.path.exists(os.path.join(folder, program)):
                only_known_dlls("the installed " + program, os.path.join(folder, program))
        shortcuts = [p for p in files_of(drive_c) - before if p.endswith("Brickfix.lnk")]
        check(shortcuts == ["ProgramData/Microsoft/Windows/Start Menu/Programs/Brickfix/Brickfix.lnk"],
              "a Start-menu shortcut: %r" % shortcuts)
        if shortcuts:
            with open(os.path.join(drive_c, shortcuts[0]), "rb") as f:
                link = f.read()
            target = "Brickfix\\brickfix.exe"
            check(target.encode() in link or target.encode("utf-16-le") in link,
                  "the shortcut starts the installed program")
        for key in KEYS:
            check(run("reg", "query", key).returncode == 0, "the registry has " + key)
        check(recorded() == ["netsh " + ADD_RULE] or recorded() == ['"C:\\windows\\system32\\netsh.exe" '
                                                                    + ADD_RULE],
              "the installer adds the firewall rule: %r" % recorded())

        # The installed program, in line mode, up to its model menu.
        p = subprocess.Popen([wine64, os.path.join(folder, "brickfix.exe"), "--ui=line"], env=env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
        lines = []
        for raw in p.stdout:
            lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
            if lines[-1] == MENU_END:
                p.stdin.close()  # the end of input ends the run
        status = p.wait(timeout=60)
        check(lines[:1] == ["请选择机型："] and MENU_END in lines and status == 0,
              "the installed program shows its menu and ends with 0: %r, %d" % (lines, status))

        r = run(os.path.join(folder, "Uninstall.exe"), "/S")
        settle()
        # The user's own state folder (the run's timeline, and journals an
        # adapter may still need) stays, as the Rom folders do.
        left = sorted(f for f in files_of(drive_c) - before
                      if not re.match(r"users/[^/]+/AppData/Local/Brickfix(/timeline-[-0-9]+\.jsonl)?$", f))
        check(left == [], "the uninstaller leaves nothing behind but the user's state folder: %r" % left)
        for key in KEYS:
            check(run("reg", "query", key).returncode != 0, "the registry no longer has " + key)
        check(len(recorded()) == 2 and recorded()[1].endswith(DELETE_RULE),
              "the uninstaller removes the firewall rule: %r" % recorded())
    finally:
        subprocess.run([wineserver, "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
