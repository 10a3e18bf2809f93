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

    def set_link(self, ns, up, dev="eth0"):
        """Pulls (up=False) or plugs in the cable at ns's end: the other end
        loses or regains its carrier."""
        run("ip", "-n", ns, "link", "set", dev, "up" if up else "down")

    def move_router(self, cidr, reach):
        """The router's end gets cidr as its only address and reaches the
        subnet `reach` straight over the cable, as a router with another
        address configured would."""
        run("ip", "-n", self.router, "addr", "flush", "dev", "eth0")
        self.add_address(self.router, cidr)
        run("ip", "-n", self.router, "route", "add", reach, "dev", "eth0")

    def drop_tftp(self, ns):
        """A firewall in ns that drops every datagram to UDP port 69
        (nftables; the rule goes with the namespace)."""
        run("ip", "netns", "exec", ns, "nft", "-f", "-", input=NFT_DROP_TFTP)

    def add_pc_adapter(self, name, cidr=None):
        """Another Ethernet adapter in pc (a veth whose peer stays in
        router); returns the peer's name."""
        self.extra_links += 1
        peer = "bfxc%d%s" % (self.extra_links, self.tag_short()[-6:])
        run("ip", "link", "add", name + "x", "netns", self.pc, "type", "veth", "peer", "name",
            peer, "netns", self.router)
        run("ip", "-n", self.pc, "link", "set", name + "x", "name", name)
        run("ip", "-n", self.pc, "link", "set", name, "up")
        run("ip", "-n", self.router, "link", "set", peer, "up")
        if cidr:
            self.add_address(self.pc, cidr, name)
        return peer

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


NFT_DROP_TFTP = """table inet bfxfirewall {
  chain input {
    type filter hook input priority 0; policy accept;
    udp dport 69 drop
  }
}
"""


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


# ---- NetworkManager in the lab ----

def network_manager_missing():
    """None when NetworkManager can run in the lab, else why not."""
    for program in ("NetworkManager", "nmcli", "dbus-daemon", "nsenter", "unshare"):
        if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
            return program + " is not installed"
    return None


NM_CONF = """[main]
plugins=keyfile
no-auto-default=*
dhcp=internal
dns=none
rc-manager=unmanaged
hostname-mode=none
auth-polkit=false

[keyfile]
unmanaged-devices=except:interface-name:%s

[logging]
level=INFO
"""

# Runs inside "ip netns exec NS unshare --mount --uts": the mounts stay in
# that mount namespace, so nothing of this reaches the host.
NM_SCRIPT = """set -e
mount -o remount,ro /sys 2>/dev/null || mount -t sysfs -o ro sysfs /sys
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/lib/NetworkManager
mount --bind "$1" /etc/NetworkManager
mkdir -p /run/dbus
dbus-daemon --system --fork --nopidfile
exec NetworkManager --no-daemon
"""


class NetworkManager:
    """NetworkManager for one adapter of a lab namespace, isolated in a mount
    and UTS namespace of its own: its own "dbus-daemon --system", /sys
    remounted read-only (else it waits for udev and leaves the veth
    unmanaged), tmpfs over /run and /var/lib/NetworkManager, and a private
    /etc/NetworkManager with the keyfile plugin and only `ifname` managed.
    Programs run in its namespaces through nsenter; as a launcher it offers
    what the driver asks of a lab (pc, start). It never runs in the host's
    namespaces, and it ends with the lab."""

    def __init__(self, lab, ns, ifname):
        self.lab = lab
        self.pc = ns
        self.ifname = ifname
        self.etc = os.path.join(lab.tmp, "nm-etc")
        self.connections = os.path.join(self.etc, "system-connections")
        self.proc = None
        os.makedirs(self.connections)
        os.makedirs(os.path.join(self.etc, "conf.d"))
        with open(os.path.join(self.etc, "NetworkManager.conf"), "w") as f:
            f.write(NM_CONF % ifname)

    def add_profile(self, name, uuid, ipv4="method=auto"):
        """A saved ethernet profile for the adapter (DHCP by default)."""
        path = os.path.join(self.connections, name + ".nmconnection")
        with open(path, "w") as f:
            f.write("[connection]\nid=%s\nuuid=%s\ntype=ethernet\ninterface-name=%s\n"
                    "autoconnect=true\n\n[ipv4]\n%s\n\n[ipv6]\nmethod=ignore\n"
                    % (name, uuid, self.ifname, ipv4))
        os.chmod(path, 0o600)

    def launch(self, timeout=20):
        log = open(os.path.join(self.lab.tmp, "NetworkManager.log"), "w")
        self.proc = self.lab.start(self.pc, ["unshare", "--mount", "--uts", "--propagation",
                                             "private", "/bin/sh", "-c", NM_SCRIPT, "sh", self.etc],
                                   stdout=log, stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: self.nmcli("general", "status").returncode == 0, timeout,
                     "NetworkManager on its D-Bus")
        except TimeoutError as e:
            log.flush()
            with open(log.name, errors="replace") as f:
                raise TimeoutError("%s; its output:\n%s" % (e, f.read()[-4000:])) from None

    def enter(self, args, cwd=None):
        # Entering a mount namespace moves to the namespace's root, outside
        # any chroot the lab runs in: --root takes NetworkManager's root
        # directory, --wd goes back to where we were.
        wd = ["--wd=" + cwd] if cwd else []
        return (["nsenter", "-t", str(self.proc.pid), "-m", "-n", "-u", "--root"] + wd + ["--"] +
                list(args))

    def start(self, ns, args, **kwargs):
        """Starts args in NetworkManager's namespaces (ns must be its own)."""
        assert ns == self.pc
        p = subprocess.Popen(self.enter(args, kwargs.get("cwd")), **kwargs)
        self.lab.procs.append(p)
        return p

    def nmcli(self, *args):
        return run(*self.enter(["nmcli"] + list(args)), check=False)

    def device(self):
        """(state number, active profile's uuid, its name) of the adapter."""
        out = self.nmcli("-g", "GENERAL.STATE,GENERAL.CON-UUID,GENERAL.CONNECTION", "device",
                         "show", self.ifname).stdout.splitlines() + ["", "", ""]
        return int((out[0].split() or ["0"])[0]), out[1], out[2]

    def profiles(self):
        """The names of every profile NetworkManager knows (saved or not)."""
        return sorted(self.nmcli("-g", "NAME", "connection", "show").stdout.split())

    def saved_profiles(self):
        """The profile files in its private /etc/NetworkManager."""
        return sorted(os.listdir(self.connections))
