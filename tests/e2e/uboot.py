#!/usr/bin/env python3
"""The router is a real boot loader: U-Boot in QEMU fetches from brickfix.

QEMU runs Debian's U-Boot for its "virt" machine (aarch64, plain emulation, no
KVM needed) in the router namespace, its virtio NIC on a tap device bridged
with the router's end of the lab's cable. The test types at U-Boot's console,
a pipe: the addresses, tftpboot for the configuration record and the image,
and crc32 over what arrived, which must equal the CRC-32 of what brickfix
served. Debian's U-Boot cannot upload, so the run ends with brickfix waiting
for the report; closing its input ends it.

Usage: uboot.py --build DIR [--scenario NAME ...] [--list]
"""

import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import check, check_eq  # noqa: E402

QEMU = "qemu-system-aarch64"
FIRMWARE = "/usr/lib/u-boot/qemu_arm64/u-boot.bin"
LOAD_ADDRESS = 0x41000000  # 16 MiB into the machine's 256 MiB, below U-Boot itself


def missing():
    """Why U-Boot cannot run here, or None."""
    if shutil.which(QEMU) is None:
        return QEMU + " is missing (package qemu-system-arm)"
    if not os.path.exists(FIRMWARE):
        return FIRMWARE + " is missing (package u-boot-qemu)"
    if not os.path.exists("/dev/net/tun"):
        return "/dev/net/tun is missing"
    return None


class UBoot:
    """U-Boot in QEMU inside the lab's router namespace, driven at its console."""

    PROMPT = "=> "

    def __init__(self, lab, tap, dump, log=None):
        self.monitor = os.path.join(lab.tmp, "qemu-monitor")
        args = [QEMU, "-M", "virt", "-cpu", "cortex-a57", "-m", "256", "-nodefaults",
                "-display", "none", "-monitor", "unix:%s,server=on,wait=off" % self.monitor,
                "-serial", "stdio", "-bios", FIRMWARE,
                "-netdev", "tap,id=n0,ifname=%s,script=no,downscript=no,vnet_hdr=off" % tap,
                "-device", "virtio-net-pci,netdev=n0,romfile=",
                # Every frame's head, both ways, for the ICMP check.
                "-object", "filter-dump,id=d0,netdev=n0,file=%s,maxlen=96" % dump]
        self.proc = lab.start(lab.router, args, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.log = log
        self.out = ""
        self.eof = False
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        mark = self._wait_for("Hit any key to stop autoboot", 0, 60)
        self._type("\n")
        self._wait_for(self.PROMPT, mark, 30)

    def _read(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            with self.cond:
                if not chunk:
                    self.eof = True
                else:
                    self.out += chunk.decode("utf-8", "replace").replace("\r", "")
                self.cond.notify_all()
            if not chunk:
                return

    def _type(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def _wait_for(self, text, start, timeout):
        """Waits until text appears at or after start; returns where it ends."""
        deadline = time.time() + timeout
        with self.cond:
            while True:
                at = self.out.find(text, start)
                if at >= 0:
                    return at + len(text)
                left = deadline - time.time()
                if left <= 0 or self.eof:
                    raise AssertionError("U-Boot did not print %r; its console:\n%s" % (
                        text, self.out[-2000:]))
                self.cond.wait(min(left, 0.5))

    def command(self, line, timeout=30):
        """Types line at the prompt; returns what it printed until the next one."""
        with self.cond:
            start = len(self.out)
        self._type(line + "\n")
        echoed = self._wait_for(line + "\n", start, 10)
        # The prompt begins a line ("crc32" prints "==> " within one).
        end = self._wait_for("\n" + self.PROMPT, echoed - 1, timeout)
        out = self.out[echoed:end - len(self.PROMPT)]
        if self.log:
            self.log.write("".join("  u-boot| " + l + "\n" for l in ([line] + out.splitlines())))
        return out

    def set_link(self, up):
        """The virtual NIC's link goes down or up (QEMU's monitor command
        set_link), as when the router's port drops while it starts."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.monitor)

            def prompt():
                said = b""
                while not said.endswith(b"(qemu) "):
                    chunk = s.recv(4096)
                    if not chunk:
                        raise AssertionError("QEMU's monitor closed: %r" % said)
                    said += chunk
                return said

            prompt()  # the greeting
            s.sendall(b"set_link n0 %s\n" % (b"on" if up else b"off"))
            said = prompt()
            check(b"not found" not in said and b"Error" not in said, "set_link: %r" % said)
        if self.log:
            self.log.write("  qemu| set_link n0 %s\n" % ("on" if up else "off"))

    def fetch_and_check(self, name, data, timeout):
        out = self.command("tftpboot 0x%x %s" % (LOAD_ADDRESS, name), timeout)
        got = re.search(r"Bytes transferred = (\d+) ", out)
        check(got is not None, "U-Boot fetched " + name)
        # U-Boot is done at a short last block; when the empty end marker that
        # follows reaches it before it leaves its loop, it counts that block
        # too, as for a file of whole blocks. The bytes are the same.
        whole = -(-len(data) // 512) * 512
        check(int(got.group(1)) in (len(data), whole), "the byte count of " + name)
        out = self.command("crc32 0x%x 0x%x" % (LOAD_ADDRESS, len(data)))
        got = re.search(r"==> ([0-9a-f]{8})", out)
        check(got is not None, "crc32 printed a CRC")
        check_eq(int(got.group(1), 16), zlib.crc32(data), "U-Boot's CRC-32 of " + name)


def config_record(version):
    """The 52 bytes brickfix serves as recovery-cfg.bin for a stored image."""
    head, _, tail = version.partition(".")
    return (b"\xef" * 4 + struct.pack(">II", 0, 1) + head.encode()[:8].ljust(9, b"\0") +
            tail.encode()[:18].ljust(19, b"\0") + struct.pack(">I", 0) + bytes(8))


def port_unreachables(dump):
    """The ICMP port-unreachable messages in a packet dump (pcap, Ethernet)."""
    with open(dump, "rb") as f:
        data = f.read()
    order = "<" if data[:4] == b"\xd4\xc3\xb2\xa1" else ">"
    count, at = 0, 24
    while at + 16 <= len(data):
        (kept,) = struct.unpack_from(order + "I", data, at + 8)
        frame = data[at + 16:at + 16 + kept]
        at += 16 + kept
        if len(frame) < 34 or frame[12:14] != b"\x08\x00" or frame[23] != 1:
            continue  # not IPv4 carrying ICMP
        icmp = frame[14 + (frame[14] & 0x0F) * 4:]
        if icmp[:2] == b"\x03\x03":
            count += 1
    return count


def uboot_fetches(s, size, timeout):
    """U-Boot fetches the record and a stored image of size bytes."""
    version = "1.0.7"
    image = e2e.image_bytes(size, "uboot%d" % size)
    s.store("RX2001-" + version, image)
    dump = os.path.join(s.lab.tmp, "router.pcap")
    router = UBoot(s.lab, s.lab.add_router_tap(), dump, s.log)
    bf = s.start_brickfix()  # no cloud: the stored image is used
    bf.answer("1")
    bf.expect("使用本地固件：RX2001-" + version)
    s.expect_address_setup()
    router.command("setenv ipaddr 192.168.1.1")
    router.command("setenv serverip 192.168.1.88")
    # The router's link drops for a moment as it starts: the address stays
    # and the fetch goes on.
    router.set_link(False)
    time.sleep(2)
    router.set_link(True)
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address after the router's link dropped")
    started = time.time()
    router.fetch_and_check("recovery-cfg.bin", config_record(version), 30)
    router.fetch_and_check("recovery.bin", image, timeout)
    if s.log:
        s.log.write("  (both files in %.1f s)\n" % (time.time() - started))
    bf.expect("传输文件中：")
    bf.expect("固件烧录中，请耐心等待Terno回复烧录结果！", timeout=30)
    check("固件传送错误，请重试！" not in bf.all_text(), "no transfer failed")
    # U-Boot acknowledges each end marker; neither acknowledgement may meet a
    # closed port. (A moment for a late ICMP message to reach the dump.)
    time.sleep(0.5)
    check_eq(port_unreachables(dump), 0, "ICMP port-unreachable messages to U-Boot")
    bf.close_input()  # the upload never comes: cancel
    check_eq(bf.wait_exit(), 0, "exit status")


def config_and_image(s):
    uboot_fetches(s, 4 * 1024 * 1024, timeout=60)


def image_over_32_mib(s):
    """More than 65535 blocks: the block numbers roll over."""
    uboot_fetches(s, 32 * 1024 * 1024 + 1000, timeout=150)


SCENARIOS = [
    ("U01_UBootFetchesConfigAndImage", config_and_image),
    ("U02_UBootImageOver32MiB", image_over_32_mib),
]


def main():
    why = missing()
    if why and "--list" not in sys.argv:
        print("SKIPPED: the U-Boot router needs QEMU and U-Boot: " + why)
        return 77
    return e2e.main(SCENARIOS)


if __name__ == "__main__":
    sys.exit(main())
