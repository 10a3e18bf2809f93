"""A small network lab for the end-to-end suite and the demo.

Two network namespaces joined by a veth pair: "pc", where brickfix runs, and
"router", where the router simulator (or a virtual machine on a bridged tap
device) plays the router. Everything is created
with unique names and removed again, with every process started inside.
Nothing here touches the host's own interfaces.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time


def run(*args, check=True, **kwargs):
    return subprocess.run(list(args), check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, **kwargs)


def can_create_namespaces():
    if os.geteuid() != 0:
        return "not root"
    if shutil.which("ip") is None:
        return "iproute2 (ip) is missing"
    probe = "bfxprobe%d" % os.getpid()
    r = run("ip", "netns", "add", probe, check=False)
    if r.returncode != 0:
        return "cannot create a network namespace: " + r.stderr.strip()
    run("ip", "netns", "del", probe, check=False)
    return None


class Lab:
    """The pc and router namespaces, with a veth "eth0" on each side."""

    PREFIX = "bfx"

    def __init__(self, tag=None):
        tag = tag or str(os.getpid())
        self.pc = "%s-pc-%s" % (self.PREFIX, tag)
        self.router = "%s-rt-%s" % (self.PREFIX, tag)
        self.tmp = tempfile.mkdtemp(prefix="bfx-lab-")
        self.procs = []
        self.extra_links = 0

    # -- set-up and tear-down --

    def __enter__(self):
        self.remove_stale()
        for ns in (self.pc, self.router):
            run("ip", "netns", "add", ns)
            run("ip", "-n", ns, "link", "set", "lo", "up")
            # Programs started with "ip netns exec" see this file as their
            # /etc/resolv.conf, so a DHCP client never writes the host's.
            os.makedirs("/etc/netns/" + ns, exist_ok=True)
            with open("/etc/netns/%s/resolv.conf" % ns, "w") as f:
                f.write("# brickfix test namespace\n")
        run("ip", "link", "add", "bfxa" + self.tag_short(), "netns", self.pc, "type", "veth",
            "peer", "name", "bfxb" + self.tag_short(), "netns", self.router)
        run("ip", "-n", self.pc, "link", "set", "bfxa" + self.tag_short(), "name", "eth0")
        run("ip", "-n", self.router, "link", "set", "bfxb" + self.tag_short(), "name", "eth0")
        for ns in (self.pc, self.router):
            run("ip", "-n", ns, "link", "set", "eth0", "up")
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def tag_short(self):
        return self.pc.rsplit("-", 1)[1][-8:]

    def close(self):
        for p in self.procs:
            stop(p)
        self.procs = []
        for ns in (self.pc, self.router):
            kill_namespace_processes(ns)
            run("ip", "netns", "del", ns, check=False)
            shutil.rmtree("/etc/netns/" + ns, ignore_errors=True)
        shutil.rmtree(self.tmp, ignore_errors=True)

    @classmethod
    def remove_stale(cls):
        """Removes namespaces left by an earlier run that was killed."""
        r = run("ip", "netns", "list", check=False)
        for line in r.stdout.splitlines():
            name = line.split()[0] if line.split() else ""
            if not name.startswith(cls.PREFIX + "-"):
                continue
            pid = name.rsplit("-", 1)[-1]
            if pid.isdigit() and os.path.exists("/proc/" + pid):
                continue  # a run that is still going
            kill_namespace_processes(name)
            run("ip", "netns", "del", name, check=False)
            shutil.rmtree("/etc/netns/" + name, ignore_errors=True)

    # -- addresses --

    def add_address(self, ns, cidr, dev="eth0"):
        run("ip", "-n", ns, "addr", "add", cidr, "dev", dev)

    def addresses(self, ns, dev="eth0"):
        """The IPv4 addresses of dev in ns, as "a.b.c.d/len" strings."""
        r = run("ip", "-n", ns, "-4", "-o", "addr", "show", "dev", dev, check=False)
        out = []
        for line in r.stdout.splitlines():
            parts = line.split()
            if "inet" in parts:
                out.append(parts[parts.index("inet") + 1])
        return out

    def add_pc_adapter(self, name, cidr=None):
        """Another Ethernet adapter in pc (a veth whose peer stays in router)."""
        self.extra_links += 1
        peer = "bfxc%d%s" % (self.extra_links, self.tag_short()[-6:])
        run("ip", "link", "add", name + "x", "netns", self.pc, "type", "veth", "peer", "name",
            peer, "netns", self.router)
        run("ip", "-n", self.pc, "link", "set", name + "x", "name", name)
        run("ip", "-n", self.pc, "link", "set", name, "up")
        run("ip", "-n", self.router, "link", "set", peer, "up")
        if cidr:
            self.add_address(self.pc, cidr, name)

    def add_router_tap(self, tap="tap0"):
        """A tap device in router, bridged with router's end of the cable, for
        a virtual machine that plays the router. The machine has the router's
        address now, so router's own end keeps none."""
        r = self.router
        run("ip", "-n", r, "addr", "flush", "dev", "eth0")
        run("ip", "-n", r, "link", "add", "br0", "type", "bridge", "forward_delay", "0")
        run("ip", "-n", r, "tuntap", "add", "dev", tap, "mode", "tap")
        for dev in ("eth0", tap):
            run("ip", "-n", r, "link", "set", dev, "master", "br0")
        for dev in (tap, "br0"):
            run("ip", "-n", r, "link", "set", dev, "up")
        return tap

    # -- processes --

    def start(self, ns, args, **kwargs):
        """Starts args inside ns; it is stopped when the lab closes."""
        p = subprocess.Popen(["ip", "netns", "exec", ns] + list(args), **kwargs)
        self.procs.append(p)
        return p

    def exec_args(self, ns, args):
        return ["ip", "netns", "exec", ns] + list(args)


def kill_namespace_processes(ns):
    r = run("ip", "netns", "pids", ns, check=False)
    for pid in r.stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass


def stop(p, timeout=3):
    if p.poll() is not None:
        return
    try:
        p.terminate()
        p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def wait_for(predicate, timeout, what, interval=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(interval)
    raise TimeoutError("timed out waiting for " + what)
