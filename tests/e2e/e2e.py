#!/usr/bin/env python3
"""The whole recovery, end to end, in two network namespaces.

brickfix runs in line mode inside "pc"; the router simulator plays the router
inside "router", joined to "pc" by a veth pair; the local cloud serves releases
over HTTPS on the loopback of "pc". Each scenario checks the log lines, the
message boxes, the exit status, the files in "Rom" and the adapter's address.

Usage: e2e.py --build DIR [--scenario NAME ...] [--list]
"""

import argparse
import hashlib
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from driver import Brickfix  # noqa: E402

CLOUD_PORT = 8443
PC_HOME_ADDRESS = "10.77.0.2/24"   # the adapter's address before the recovery
ROUTER_RECOVERY = "192.168.1.1/24"  # the router's address in recovery mode
MENU = ["请选择机型：", "1. Terno Lark（RX2001）", "2. Terno Wren（RX2002）",
        "3. Terno Finch（RX2003）", "4. Terno Kite（RX2004）", "5. 通用（recovery.bin）"]
INSTRUCTIONS = ["请使用网线连接电脑的以太网口和Terno的一个黄色网口。",
                "请使用尖锐物按住RST按钮不松开再将Terno电源插上..."]


def image_bytes(size, seed):
    out = bytearray()
    block = hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:size])


class Operator:
    """An unprivileged member of the program's group, as on an installed
    system: a throw-away system user whose own group may run a copy of the
    network helper that alone carries the capabilities; the program itself is
    a plain copy. Its runs see a runtime folder /run/brickfix of root and that
    group, as the package makes it (in a mount namespace of the lab's own).
    A second user, outside the group, is the stranger who tries to block
    them. With `via_sudo`, root starts each run on the member's behalf, as
    sudo does. All of it is removed again."""

    PREFIX = "bfxu"
    STRANGER = "bfxn"
    HELPER_CAPS = "cap_net_admin,cap_net_raw,cap_net_bind_service+ep"

    @staticmethod
    def missing():
        for program in ("useradd", "userdel", "setcap", "setpriv", "nsenter", "unshare"):
            if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
                return program + " is not installed"
        return None

    def __init__(self, build, via_sudo=False):
        self.remove_stale()
        self.via_sudo = via_sudo
        # A folder of its own that the user can reach, on a file system that
        # keeps file capabilities.
        self.dir = tempfile.mkdtemp(prefix="bfx-operator-", dir="/tmp")
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        self.name = "%s%d" % (self.PREFIX, os.getpid())
        netlab.run("useradd", "--system", "--user-group", "--no-create-home",
                   "--home-dir", self.home, "--shell", "/usr/sbin/nologin", self.name)
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        os.mkdir(self.home, 0o700)
        os.chown(self.home, self.uid, self.gid)
        self.stranger = "%s%d" % (self.STRANGER, os.getpid())
        netlab.run("useradd", "--system", "--user-group", "--no-create-home",
                   "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", self.stranger)
        entry = pwd.getpwnam(self.stranger)
        self.stranger_ids = (entry.pw_uid, entry.pw_gid)
        bindir = os.path.join(self.dir, "bin")
        os.mkdir(bindir, 0o755)
        self.program = os.path.join(bindir, "brickfix")
        shutil.copy(os.path.join(build, "src/brickfix"), self.program)
        os.chmod(self.program, 0o755)
        helper = os.path.join(bindir, "brickfix-nethelper")
        shutil.copy(os.path.join(build, "src/brickfix-nethelper"), helper)
        os.chown(helper, 0, self.gid)
        os.chmod(helper, 0o750)
        netlab.run("setcap", self.HELPER_CAPS, helper)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        netlab.run("userdel", self.name, check=False)
        netlab.run("userdel", self.stranger, check=False)

    def wrap(self, argv):
        """argv run as the user, with its group and nothing else (or by root
        on its behalf)."""
        if self.via_sudo:
            return ["env", "SUDO_UID=%d" % self.uid, "SUDO_GID=%d" % self.gid,
                    "SUDO_USER=" + self.name] + list(argv)
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups",
                "--"] + list(argv)

    def wrap_stranger(self, argv):
        """argv run as the user outside the group."""
        uid, gid = self.stranger_ids
        return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", "--"] + list(argv)

    def own(self, *paths):
        """Gives the user what it works in (the lab's folders stay root's)."""
        for path in paths:
            if not os.path.exists(path):
                continue
            os.chown(path, self.uid, self.gid)
            for root, dirs, files in os.walk(path):
                for name in dirs + files:
                    os.lchown(os.path.join(root, name), self.uid, self.gid)

    @classmethod
    def remove_stale(cls):
        """Users that an earlier run left when it was killed."""
        for entry in pwd.getpwall():
            for prefix in (cls.PREFIX, cls.STRANGER):
                tag = entry.pw_name[len(prefix):]
                if entry.pw_name.startswith(prefix) and tag.isdigit() and \
                        not os.path.exists("/proc/" + tag):
                    netlab.run("userdel", entry.pw_name, check=False)


# The runtime folder as the package makes it, in a mount namespace of its own
# (a tmpfs over /run), for the operator's runs; $1 is the group.
RUN_FOLDER_SCRIPT = """set -e
mount -t tmpfs -o mode=0755 tmpfs /run
%s
echo ready
exec sleep 100000
"""
MAKE_RUN_FOLDER = 'mkdir -p /run/brickfix && chown 0:"$1" /run/brickfix && chmod 3770 /run/brickfix'



# Set by --as-user: every brickfix of the run is the operator's.
OPERATOR = None


class Scenario:
    """One run: a lab, a cloud, a working directory with "Rom", brickfix."""

    def __init__(self, build, name, log, args=None):
        self.build = build
        self.name = name
        self.log = log
        self.lab = None
        self.bf = None
        self.ifname = "lan%d" % (os.getpid() % 100000)
        self.nm = None  # NetworkManager, when the scenario has it manage the adapter
        self.operator = OPERATOR
        self.run_folder = None  # what holds the operator's mount namespace
        self.started = []  # every brickfix of the scenario
        self.causes = set()  # the diagnoses the scenario provokes; no other may show

    def __enter__(self):
        self.lab = netlab.Lab().__enter__()
        # A unique adapter name keeps the DHCP client's pid and lease files
        # apart from anything on the host.
        netlab.run("ip", "-n", self.lab.pc, "link", "set", "eth0", "down")
        netlab.run("ip", "-n", self.lab.pc, "link", "set", "eth0", "name", self.ifname)
        netlab.run("ip", "-n", self.lab.pc, "link", "set", self.ifname, "up")
        self.lab.add_address(self.lab.pc, PC_HOME_ADDRESS, self.ifname)
        self.lab.add_address(self.lab.router, ROUTER_RECOVERY)
        self.work = os.path.join(self.lab.tmp, "work")
        self.rom = os.path.join(self.work, "Rom")
        self.releases = os.path.join(self.lab.tmp, "releases")
        self.certs = os.path.join(self.lab.tmp, "certs")
        os.makedirs(self.work)
        os.makedirs(self.releases)
        # The program's journal and diagnostics stay in the lab (run by root
        # for the operator, it keeps them in the operator's home).
        self.state_home = os.path.join(self.lab.tmp, "state")
        if self.operator and self.operator.via_sudo:
            self.state_home = os.path.join(self.operator.home, ".local", "state")
            shutil.rmtree(os.path.join(self.state_home, "brickfix"), ignore_errors=True)
        return self

    def __exit__(self, *exc):
        try:
            if exc[0] is None:
                self.check_diagnoses()
        finally:
            self.close()
        return False

    def close(self):
        if self.bf and self.bf.proc.poll() is None:
            self.bf.proc.kill()
        self.lab.close()
        for leftover in ("/var/lib/dhcp/dhclient.%s.leases" % self.ifname,
                         "/run/dhclient.%s.pid" % self.ifname):
            if os.path.exists(leftover):
                os.remove(leftover)

    # -- what the program saw --

    def timelines(self):
        """Each run's timeline in the state folder, oldest first, as lists
        of objects (every line must be one)."""
        folder = os.path.join(self.state_home, "brickfix")
        names = sorted(n for n in os.listdir(folder) if n.startswith("timeline-")) \
            if os.path.isdir(folder) else []
        out = []
        for name in names:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                out.append([json.loads(line) for line in f])
        return out

    def check_diagnoses(self):
        """Only the causes the scenario provokes show, in the log and in the
        timelines; a healthy run shows none."""
        for bf in self.started:
            for line in bf.lines:
                m = re.match(r"^诊断（([a-z-]+)）：", line)
                check(not m or m.group(1) in self.causes, "an unexpected diagnosis: " + line)
        for timeline in self.timelines():
            check(timeline and timeline[0]["event"] == "start", "a timeline begins with the start")
            for entry in timeline:
                check(isinstance(entry.get("t"), (int, float)), "a time in %r" % entry)
                if entry["event"] == "diagnosis":
                    check(entry["cause"] in self.causes, "an unexpected diagnosis: %r" % entry)

    def diagnosed(self):
        """(cause, detail) of each diagnosis in the latest timeline."""
        return [(e["cause"], e["detail"]) for e in self.timelines()[-1] if e["event"] == "diagnosis"]

    def expect_diagnosis(self, code, since, limit, at_least=0.0):
        """Waits for the diagnosis `code` and checks that it came between
        at_least and limit seconds after `since`; returns the line."""
        self.causes.add(code)
        line = self.bf.expect(re.compile("^诊断（%s）：" % re.escape(code)), timeout=limit + 15)
        elapsed = time.time() - since
        if self.log:
            self.log.write("  (%s after %.2f s)\n" % (code, elapsed))
        check(at_least <= elapsed <= limit,
              "%s after %.2f s, not within %.1f to %.1f s" % (code, elapsed, at_least, limit))
        return line

    # -- the cloud --

    def release(self, model, version, data, **extra):
        folder = os.path.join(self.releases, model)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, model + ".bin"), "wb") as f:
            f.write(data)
        meta = {"version": version, "image": model + ".bin"}
        meta.update(extra)
        with open(os.path.join(folder, "release.json"), "w") as f:
            json.dump(meta, f)

    def start_cloud(self):
        cloud = os.path.join(self.build, "tools/cloud/brickfix-cloud")
        netlab.run(cloud, "--make-certs", self.certs)
        p = self.lab.start(self.lab.pc, [cloud, "--releases", self.releases,
                                         "--cert", os.path.join(self.certs, "server.pem"),
                                         "--key", os.path.join(self.certs, "server-key.pem"),
                                         "--listen", "127.0.0.1", "--port", str(CLOUD_PORT)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = p.stdout.readline()
        if "listening" not in line:
            raise AssertionError("the cloud did not start: " + line)

    def store(self, name, data):
        os.makedirs(self.rom, exist_ok=True)
        with open(os.path.join(self.rom, name), "wb") as f:
            f.write(data)

    def rom_files(self):
        if not os.path.isdir(self.rom):
            return {}
        out = {}
        for name in sorted(os.listdir(self.rom)):
            with open(os.path.join(self.rom, name), "rb") as f:
                out[name] = f.read()
        return out

    # -- brickfix and the router --

    def command(self, *args, cwd="/"):
        """brickfix with args, as root or as the operator (in `cwd`)."""
        if not self.operator:
            return [os.path.join(self.build, "src/brickfix")] + list(args)
        os.chmod(self.lab.tmp, 0o755)
        os.makedirs(self.state_home, exist_ok=True)
        self.operator.own(self.work, self.state_home)
        if os.path.exists(self.certs):
            os.chmod(self.certs, 0o755)
            os.chmod(os.path.join(self.certs, "ca.pem"), 0o644)
        return self.in_run_folder(self.operator.wrap([self.operator.program] + list(args)), cwd)

    def in_run_folder(self, argv, cwd="/"):
        """argv where the operator's runs see /run/brickfix: NetworkManager's
        mount namespace, or one that the lab keeps for them (entering it
        moves to its root: `cwd` is where argv runs)."""
        if self.nm:
            if not self.run_folder:
                netlab.run(*self.nm.enter(["sh", "-c", MAKE_RUN_FOLDER, "sh", str(self.operator.gid)]))
                self.run_folder = self.nm.proc
            return list(argv)
        if not self.run_folder:
            self.run_folder = self.lab.start(
                self.lab.pc, ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                              RUN_FOLDER_SCRIPT % MAKE_RUN_FOLDER, "sh", str(self.operator.gid)],
                stdout=subprocess.PIPE, text=True)
            check_eq(self.run_folder.stdout.readline().strip(), "ready", "the run folder's namespace")
        return ["nsenter", "-t", str(self.run_folder.pid), "-m", "--wd=" + cwd, "--"] + list(argv)

    def start_brickfix(self):
        env = {"BRICKFIX_CLOUD_HOST": "127.0.0.1:%d" % CLOUD_PORT,
               "SSL_CERT_FILE": os.path.join(self.certs, "ca.pem"),
               "XDG_STATE_HOME": self.state_home,
               # A build made for the tests ends an upload after 6.3 s of
               # silence instead of 63 s; other builds ignore this.
               "BRICKFIX_TEST_UPLOAD_WAIT_MS": "100"}
        command = self.command(cwd=self.work)
        self.bf = Brickfix(self.nm or self.lab, command[-1], self.work, env, self.log,
                           launcher=command[:-1])
        self.started.append(self.bf)
        for line in MENU:
            self.bf.expect(line)
        if self.operator:
            status = process_status(self.bf.proc.pid)
            check_eq(status.get("Uid", "").split(), [str(self.operator.uid)] * 4, "the program's user")
            # setpriv gives the member no other group; sudo's root gives it its own.
            check_eq(status.get("Groups", "").split(),
                     [str(self.operator.gid)] if self.operator.via_sudo else [], "the program's groups")
            check_eq(status.get("CapEff"), "0000000000000000", "the program's capabilities")
        check_no_raw_socket(self.bf.proc.pid)
        return self.bf

    def router(self, *args, **kwargs):
        sim = os.path.join(self.build, "tools/routersim/brickfix-routersim")
        return self.lab.start(self.lab.router, [sim, "--server", "192.168.1.88"] + list(args),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              **kwargs)

    def router_done(self, p, timeout=120):
        try:
            out, _ = p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            out, _ = p.communicate()
            raise AssertionError("the router simulator did not finish:\n" + out)
        if self.log:
            self.log.write("".join("  router| " + l + "\n" for l in out.splitlines()))
        if p.returncode != 0:
            raise AssertionError("the router simulator failed (%d):\n%s" % (p.returncode, out))
        return out

    def pc_addresses(self):
        return self.lab.addresses(self.lab.pc, self.ifname)

    def expect_address_setup(self):
        self.bf.expect("正在配置本机IP地址信息，请稍候...")
        self.bf.expect("IP地址信息配置完成")
        for line in INSTRUCTIONS:
            self.bf.expect(line)
        check_eq(self.pc_addresses(), ["192.168.1.88/24"], "the recovery address")

    def router_comes_back(self, after_seconds):
        """After a delay the router answers at 192.168.199.1 and serves DHCP."""
        time.sleep(after_seconds)
        r = self.lab.router
        netlab.run("ip", "-n", r, "addr", "flush", "dev", "eth0")
        self.lab.add_address(r, "192.168.199.1/24")
        self.start_dhcp_server("192.168.199.100", "192.168.199.150")

    def start_dhcp_server(self, first, last):
        """dnsmasq on the router side, handing out first..last (no DNS)."""
        lease_dir = os.path.join(self.lab.tmp, "dnsmasq")
        os.makedirs(lease_dir, exist_ok=True)
        return self.lab.start(self.lab.router,
                       ["dnsmasq", "--no-daemon", "--port=0", "--interface=eth0",
                        "--bind-interfaces", "--dhcp-range=%s,%s,12h" % (first, last),
                        "--dhcp-leasefile=" + os.path.join(lease_dir, "leases"),
                        "--pid-file=" + os.path.join(lease_dir, "pid"), "--conf-file=/dev/null"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # -- the adapter's own settings --

    def journal(self):
        return os.path.join(self.state_home, "brickfix", "adapter-%s.journal" % self.ifname)

    def adapter_state(self):
        """The adapter's link, IPv4 addresses and routes (every table) as ip
        shows them, without the lifetimes that count down."""
        pc, dev = self.lab.pc, self.ifname
        link = netlab.run("ip", "-n", pc, "-o", "link", "show", "dev", dev).stdout
        addrs = netlab.run("ip", "-n", pc, "-4", "-o", "addr", "show", "dev", dev).stdout
        routes = netlab.run("ip", "-n", pc, "-4", "route", "show", "table", "all", "dev", dev).stdout
        addrs = re.sub(r"(valid|preferred)_lft \S+", "", addrs)
        up = ",UP" in link or "<UP" in link
        return (up, sorted(l.split(None, 1)[1] for l in addrs.splitlines()),
                sorted(routes.splitlines()))

    def dhcp_clients(self):
        """The pids of DHCP clients in pc whose command line names the adapter."""
        out = []
        for pid in netlab.run("ip", "netns", "pids", self.lab.pc, check=False).stdout.split():
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().decode(errors="replace").split("\0")
            except OSError:
                continue
            name = os.path.basename(argv[0])
            if name in ("dhclient", "dhcpcd", "udhcpc") and self.ifname in argv:
                out.append(int(pid))
        return out

    def restore_network(self):
        """brickfix --restore-network in pc: (status, stdout, stderr)."""
        launcher = self.nm or self.lab
        env = dict(os.environ, XDG_STATE_HOME=self.state_home)
        p = launcher.start(launcher.pc, self.command("--restore-network"),
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = p.communicate(timeout=120)
        if self.log:
            self.log.write("".join("  restore| " + l + "\n" for l in (out + err).splitlines()))
        return p.returncode, out, err

    def support_bundle(self, path):
        """brickfix --support-bundle path in pc: its exit status."""
        launcher = self.nm or self.lab
        env = dict(os.environ, XDG_STATE_HOME=self.state_home)
        p = launcher.start(launcher.pc, self.command("--support-bundle", path, cwd=self.work), cwd=self.work,
                           env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        out, _ = p.communicate(timeout=60)
        if self.log:
            self.log.write("".join("  bundle| " + l + "\n" for l in out.splitlines()))
        return p.returncode

    def restore_and_check(self, before, settle=None, beyond=()):
        """--restore-network puts back `before` and removes the journal; a
        second run finds nothing to do. What the journal lists `beyond` what
        a restore adds is printed instead, and added by an administrator."""
        check(os.path.exists(self.journal()), "a journal before the restore")
        status, out, err = self.restore_network()
        if beyond:
            check_eq(status, 1, "--restore-network status when some is left to an administrator")
            printed = [l.strip() for l in err.splitlines() if l.startswith("  ip ")]
            check_eq(printed, list(beyond), "the commands for an administrator")
            for command in printed:
                netlab.run("ip", "netns", "exec", self.lab.pc, *command.split())
            status, out, err = self.restore_network()
        check_eq(status, 0, "--restore-network status (%s%s)" % (out, err))
        check("已还原原有设置" in out, "the restore says so: %r" % out)
        check(not os.path.exists(self.journal()), "the journal is gone")
        netlab.wait_for(lambda: self.adapter_state() == before, 30,
                        "the adapter's own settings: %r, not %r" % (before, self.adapter_state()))
        if settle:
            settle()
        status, out, _ = self.restore_network()
        check_eq(status, 0, "a second --restore-network")
        check_eq(out, "没有需要还原的网卡设置。\n", "nothing is left to do")

    def office_setup(self):
        """The adapter set up by hand, as in an office: two static addresses,
        a default route and a route to another network; no DHCP client."""
        pc, dev = self.lab.pc, self.ifname
        netlab.run("ip", "-n", pc, "addr", "add", "10.78.0.3/16", "dev", dev)
        netlab.run("ip", "-n", pc, "route", "add", "default", "via", "10.77.0.1", "metric", "100",
                   "proto", "static")
        netlab.run("ip", "-n", pc, "route", "add", "10.99.0.0/16", "via", "10.77.0.254",
                   "metric", "5", "proto", "static")

    def kill_brickfix(self):
        self.bf.proc.kill()
        self.bf.wait_exit()


def check_no_raw_socket(pid):
    """The program holds no raw or packet socket: none of its descriptors is
    one of the sockets its network namespace lists as such."""
    inodes = set()
    for table, column in (("raw", 9), ("packet", 8)):  # the inode's field in each line
        with open("/proc/%d/net/%s" % (pid, table)) as f:
            inodes.update(line.split()[column] for line in f.readlines()[1:] if line.strip())
    held = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:[") and target[8:-1] in inodes:
            held.append(fd)
    check_eq(held, [], "raw or packet sockets of the program (pid %d)" % pid)


def process_status(pid):
    """The fields of /proc/PID/status."""
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def check_eq(actual, expected, what):
    if actual != expected:
        raise AssertionError("%s: expected %r, got %r" % (what, expected, actual))


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def md5(data):
    return hashlib.md5(data).hexdigest()


# ---- scenarios ----

def download_and_report_success(s):
    """No stored firmware: forced download, one adapter, cfg + image, code 0."""
    image = image_bytes(300000, "s1")
    s.release("RX2001", "1.2", image)
    s.start_cloud()
    if s.operator:
        stranger_tries_to_block(s)
    bf = s.start_brickfix()
    check_eq(s.pc_addresses(), [PC_HOME_ADDRESS], "the address before the recovery")
    if s.operator:
        second_run_names_the_first(s, bf.proc.pid)
    bf.answer("1")
    bf.expect("本地没有固件，强制从互联网下载固件：RX2001-1.2")
    bf.expect("开始下载")
    bf.expect(re.compile(r"^#*$"))  # the progress marks
    bf.expect("下载完成，使用最新固件")
    check_eq(s.rom_files(), {"RX2001-1.2": image}, "the store after the download")
    bf.expect("当前可用网卡如下，请正确选择所使用的网卡：")
    bf.expect("1. %s (%s)" % (s.ifname, PC_HOME_ADDRESS.split("/")[0]))
    bf.expect("只发现一块网卡，强制使用这块网卡。")
    s.expect_address_setup()
    router = s.router("--cfg", "--expect-size", str(len(image)), "--expect-md5", md5(image),
                      "--report", "RX2001:recovery:0")
    bf.expect("传输文件中：")
    # The upload may start before the image transfer has printed its end.
    bf.expect_each(["固件烧录中，请耐心等待Terno回复烧录结果！", "结果上传中："], timeout=60)
    s.router_done(router)
    bf.expect("固件烧写成功！", timeout=120)
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address after success")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def stranger_tries_to_block(s):
    """A user outside the group holds the abstract names of an uninstalled
    build and cannot make or lock a file in the run folder; a run of the
    program of its own waits at the menu. None of it blocks the member."""
    probe = ("import os, socket, sys, time\n"
             "held = []\n"
             "for name in ('brickfix-run', 'brickfix-run-helper'):\n"
             "    held.append(socket.socket(socket.AF_UNIX)); held[-1].bind('\\0' + name)\n"
             "path = '/run/brickfix/netns-%d.lock' % os.stat('/proc/self/ns/net').st_ino\n"
             "try:\n"
             "    open(path, 'a'); print('made', flush=True)\n"
             "except OSError as e:\n"
             "    print('refused', e.errno, flush=True)\n"
             "time.sleep(600)\n")
    p = s.lab.start(s.lab.pc, s.in_run_folder(s.operator.wrap_stranger(["/usr/bin/python3", "-c", probe])),
                    stdout=subprocess.PIPE, text=True)
    check_eq(p.stdout.readline().strip(), "refused 13", "the stranger's lock file")
    other = s.lab.start(s.lab.pc, s.in_run_folder(s.operator.wrap_stranger(
        [s.operator.program, "--ui=line"])), cwd="/", stdin=subprocess.PIPE,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    check_eq(other.stdout.readline().strip(), MENU[0], "the stranger's own run")


def second_run_names_the_first(s, pid):
    """A second run of the member (and --restore-network) is refused, naming
    the run that holds the lock."""
    holder = "（进程 %d，用户 %s）" % (pid, s.operator.name)
    p = s.lab.start(s.lab.pc, s.command("--ui=line", cwd=s.work), cwd=s.work, stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out, _ = p.communicate("\n", timeout=60)
    check_eq(out, "[MessageBox] 另一个 Brickfix 正在运行，请先关闭它再重新运行！%s\n" % holder,
             "the second run's box")
    status, _, err = s.restore_network()
    check(status == 1 and holder in err,
          "--restore-network names the run: %r" % err)


def retry_after_code_4(s):
    image = image_bytes(20000, "s2")
    s.release("RX2002", "2.0", image)
    s.store("RX2002-2.0", image)
    s.start_cloud()
    bf = s.start_brickfix()
    bf.answer("2")
    bf.expect("最新固件与本地固件版本相同，使用本地固件：RX2002-2.0")
    s.expect_address_setup()
    check("开始下载" not in bf.all_text(), "the stored copy has the cloud's digest: nothing was downloaded")
    first = s.router("--cfg", "--expect-md5", md5(image), "--report", "RX2002:flash:4")
    bf.expect("固件烧写失败！需要重试。", timeout=150)
    for line in INSTRUCTIONS:
        bf.expect(line)
    s.router_done(first)
    second = s.router("--cfg", "--expect-md5", md5(image), "--report", "RX2002:flash:0")
    bf.expect("固件烧写成功！", timeout=150)
    s.router_done(second)
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address after success")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def code_7_restores_dhcp(s):
    image = image_bytes(5000, "s3")
    s.store("RX2003-0.9", image)
    s.start_dhcp_server("192.168.1.100", "192.168.1.150")  # the router side serves DHCP
    bf = s.start_brickfix()  # no cloud: the stored image is used
    bf.answer("3")
    bf.expect("使用本地固件：RX2003-0.9")
    s.expect_address_setup()
    router = s.router("--cfg", "--report", "RX2003:flash:7")
    bf.expect_message_box("固件不完整。请在退出后重试!", timeout=150)
    check_eq(bf.wait_exit(), 0, "exit status")
    s.router_done(router)
    netlab.wait_for(lambda: any(a.startswith("192.168.1.1") and a != "192.168.1.88/24"
                                for a in s.pc_addresses()), 30, "a DHCP lease")


def router_comes_back_without_report(s):
    image = image_bytes(100000, "s4")
    s.store("RX2004-3.1", image)
    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image))
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.199.88/24"], 30, "the LAN address")
    # It probes the router meanwhile, through the helper: no raw socket here.
    for _ in range(6):
        check_no_raw_socket(bf.proc.pid)
        time.sleep(0.5)
    check("." in bf.partial or any(l.startswith(".") for l in bf.lines), "the probe's dots")
    s.router_comes_back(after_seconds=1)
    bf.expect(re.compile(r"^\.*上电初始化中$"), timeout=60)
    bf.expect(re.compile(r"^\.*固件恢复成功！$"), timeout=90)
    addrs = s.pc_addresses()
    check(len(addrs) == 1 and re.match(r"192\.168\.199\.(1[0-4]\d|150)/24", addrs[0]),
          "a DHCP lease from the router, got %r" % addrs)
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def wrong_model(s):
    image = image_bytes(3000, "s5")
    s.store("RX2001-1.0", image)
    bf = s.start_brickfix()
    bf.answer("1")
    s.expect_address_setup()
    router = s.router("--image", "RX2003-recovery.bin", "--expect-silence")
    bf.expect_message_box("实际机型为“RX2003”，与选择不符，请在退出后重试！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")
    s.router_done(router)
    check(s.pc_addresses() != ["192.168.1.88/24"], "the static address was handed back")


def stored_equals_cloud(s):
    """The stored file has the cloud's newest version but not its bytes: it
    counts as no stored image, and the cloud's is downloaded, kept and served."""
    image = image_bytes(70000, "s6")
    s.release("RX2002", "5.5", image)
    s.store("RX2002-5.5", image_bytes(70000, "other"))
    s.start_cloud()
    bf = s.start_brickfix()
    bf.answer("2")
    bf.expect("最新固件与本地固件版本相同，使用本地固件：RX2002-5.5")
    bf.expect("本地固件RX2002-5.5与最新固件的MD5不符，不能使用")
    bf.expect("本地没有固件，强制从互联网下载固件：RX2002-5.5")
    bf.expect("下载完成，使用最新固件", timeout=60)
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image), "--expect-size", str(len(image)))
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)
    check_eq(s.rom_files(), {"RX2002-5.5": image}, "the store")


def versions_differ(s):
    old = image_bytes(40000, "s7-old")
    new = image_bytes(45000, "s7-new")
    s.release("RX2001", "2.0", new)
    s.store("RX2001-1.0", old)
    s.start_cloud()

    # Answer 2: the stored image is served and the store is unchanged.
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("本地固件：RX2001-1.0")
    bf.expect("最新固件：RX2001-2.0")
    bf.expect("是否联网下载最新固件：")
    bf.expect("1. 是")
    bf.expect("2. 否")
    bf.answer("3")
    bf.expect("[MessageBox] 输入非法，请重新输入！")
    bf.answer("")
    bf.answer("2")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(old))
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)
    check_eq(s.rom_files(), {"RX2001-1.0": old}, "the store after answer 2")
    s.kill_brickfix()

    # Killed, its helper puts the home network back; then answer 1: the new
    # image replaces the old file.
    netlab.wait_for(lambda: s.pc_addresses() == [PC_HOME_ADDRESS], 10, "the home address back")
    netlab.run("ip", "-n", s.lab.router, "addr", "flush", "dev", "eth0")
    s.lab.add_address(s.lab.router, ROUTER_RECOVERY)
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("是否联网下载最新固件：")
    bf.answer("1")
    bf.expect("开始下载")
    bf.expect("下载完成，使用最新固件")
    check_eq(s.rom_files(), {"RX2001-2.0": new}, "the store after answer 1")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(new))
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)


def no_cloud_no_store(s):
    # A link planted in the store is no stored image: it is never served.
    planted = os.path.join(s.lab.tmp, "planted")
    with open(planted, "wb") as f:
        f.write(image_bytes(5000, "s8"))
    os.makedirs(s.rom)
    os.symlink(planted, os.path.join(s.rom, "RX2001-1"))
    bf = s.start_brickfix()  # the cloud is not started
    bf.answer("1")
    bf.expect_message_box("本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！",
                          timeout=120)
    check_eq(bf.wait_exit(), 0, "exit status")
    check_eq(s.pc_addresses(), [PC_HOME_ADDRESS], "the address is untouched")
    check_eq(os.listdir(s.rom), ["RX2001-1"], "the store")
    check_eq(os.readlink(os.path.join(s.rom, "RX2001-1")), planted, "the planted link")


def hold_port_69(s, then="time.sleep(600)"):
    """Another program binds UDP port 69 in pc and goes on with `then`
    (Python, with os and time imported, and the socket inheritable)."""
    holder = s.lab.start(s.lab.pc, ["/usr/bin/python3", "-c",
                                    "import os,socket,time\n"
                                    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                    "s.bind(('0.0.0.0',69))\ns.set_inheritable(True)\n"
                                    "print('bound',flush=True)\n" + then],
                         stdout=subprocess.PIPE, text=True)
    check_eq(holder.stdout.readline().strip(), "bound", "port 69 held")
    return holder


def hold_port_69_and_choose_a_model(s):
    """Another program holds UDP port 69 in pc; the program ends at its box."""
    s.store("RX2001-1.0", image_bytes(1000, "s9"))
    hold_port_69(s)
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect_message_box("程序即将退出，请关闭其它TFTP工具！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")


def port_69_taken(s):
    s.causes.add("port-taken")  # the holder's user at least; its process is root's
    hold_port_69_and_choose_a_model(s)
    check(s.pc_addresses() != ["192.168.1.88/24"], "the static address was handed back")


def two_adapters(s):
    image = image_bytes(9000, "s10")
    s.store("RX2001-1.0", image)
    s.lab.add_pc_adapter("usb%d" % (os.getpid() % 10000), "10.88.0.2/24")
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("当前可用网卡如下，请正确选择所使用的网卡：")
    bf.expect(re.compile(r"^1\. "))
    bf.expect(re.compile(r"^2\. "))
    lines = bf.lines_since("当前可用网卡如下，请正确选择所使用的网卡：")
    number = next(l.split(".")[0] for l in lines if (" %s (" % s.ifname) in l)
    # The worker that lists the adapters accepts answers only once it has
    # printed the list (an answer before that is ignored, as while busy).
    time.sleep(0.5)
    bf.answer("3")
    bf.expect("[MessageBox] 输入网卡序号非法，请重新输入！")
    bf.answer("")
    bf.answer(number)
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image))
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)


def lossy_router(s):
    image = image_bytes(600000, "s11")
    s.store("RX2001-1.0", image)
    bf = s.start_brickfix()
    bf.answer("1")
    s.expect_address_setup()
    router = s.router("--cfg", "--expect-size", str(len(image)), "--expect-md5", md5(image),
                      "--drop", "5", "--duplicate", "5", "--seed", "7", "--retries", "40",
                      "--retransmit", "50")
    bf.expect("固件烧录中，请耐心等待Terno回复烧录结果！", timeout=180)
    s.router_done(router, timeout=240)


# ---- the wait that explains itself ----

def wait_for_router(s, model="4", image=None):
    """A stored image, the adapter set up; returns (image, the time the wait
    for the router began)."""
    image = image or image_bytes(60000, "wait" + model)
    s.store(g_model_codes[model] + "-1.0", image)
    bf = s.start_brickfix()
    bf.answer(model)
    bf.expect("IP地址信息配置完成")
    began = time.time()
    for line in INSTRUCTIONS:
        bf.expect(line)
    # The network helper captures the link meanwhile, for the program.
    check_no_raw_socket(bf.proc.pid)
    return image, began


g_model_codes = {"1": "RX2001", "2": "RX2002", "3": "RX2003", "4": "RX2004"}


def recovery_still_succeeds(s, image):
    router = s.router("--expect-md5", md5(image), "--retries", "40")
    s.bf.expect(FLASHING, timeout=60)
    s.router_done(router)


def no_link_then_replugged(s):
    """The cable is pulled at the router's end: no-link 5 s later, the
    address stays; a router asking meanwhile is served once it is plugged
    back in."""
    image, _ = wait_for_router(s)
    s.lab.set_link(s.lab.router, False)
    pulled = time.time()
    s.expect_diagnosis("no-link", pulled, 7.0, at_least=4.8)
    router = s.router("--expect-md5", md5(image), "--retries", "60", "--retransmit", "500")
    time.sleep(2)
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address without a link")
    s.lab.set_link(s.lab.router, True)
    s.bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    events = [e["event"] for e in s.timelines()[-1]]
    check("carrier-down" in events and "carrier-up" in events, "the carrier in the timeline")


def no_frames(s):
    """The router sends nothing at all: no-frames at 30 s; a router that
    asks later is still served."""
    image, began = wait_for_router(s)
    mute = s.router("--send-nothing", "--wait-before-exit", "31")
    s.expect_diagnosis("no-frames", began, 32.0, at_least=29.5)
    s.router_done(mute)
    recovery_still_succeeds(s, image)


def router_at_another_address(s, firewall=False):
    """A router at 10.0.0.1 asks: other-subnet names it; it is not served.
    With a firewall that drops the request, only the wire shows it, and
    other-subnet names it all the same."""
    if firewall:
        needs_nftables()
        s.lab.drop_tftp(s.lab.pc)
    wait_for_router(s)
    s.lab.move_router("10.0.0.1/8", "192.168.1.0/24")
    asked = time.time()
    router = s.router("--expect-silence", "--retries", "2")
    line = s.expect_diagnosis("other-subnet", asked, 2.0)
    check("10.0.0.1" in line, "the line names the router's address: " + line)
    s.router_done(router)
    check_eq(s.diagnosed(), [("other-subnet", "10.0.0.1")], "the timeline's diagnosis")
    if firewall:
        events = [e["event"] for e in s.timelines()[-1]]
        check("request-ignored" not in events and "frame" in events, "seen on the wire only: %r" % events)


def address_taken_away(s):
    """Another process removes the recovery address: address-lost, the
    address is back within a second, and the recovery goes on."""
    image, _ = wait_for_router(s)
    netlab.run("ip", "-n", s.lab.pc, "addr", "del", "192.168.1.88/24", "dev", s.ifname)
    taken = time.time()
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.1.88/24"], 1.0, "the address back")
    line = s.expect_diagnosis("address-lost", taken, 2.0)
    check("已自动恢复" in line, "the line says the address is back: " + line)
    recovery_still_succeeds(s, image)


def nm_takes_the_adapter_back(s):
    """NetworkManager brings the adapter's own profile back mid-wait: the
    address goes, our profile comes back, and the recovery goes on."""
    with_network_manager(s)
    image, _ = wait_for_router(s)
    check_eq(s.nm.device()[2], "brickfix-" + s.ifname, "our profile is active")
    p = s.nm.start(s.nm.pc, ["nmcli", "--wait", "0", "connection", "up", "home"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    taken = time.time()
    p.wait(timeout=30)
    line = s.expect_diagnosis("address-lost", taken, 3.0)
    check("NetworkManager" in line, "the line names NetworkManager: " + line)
    netlab.wait_for(lambda: "192.168.1.88/24" in s.pc_addresses(), 15, "the address back")
    recovery_still_succeeds(s, image)


def port_69_holder_named(s):
    """Another program, one this program may look at, holds UDP port 69:
    port-taken names it and its process id before the message box."""
    s.store("RX2001-1.0", image_bytes(1000, "s23"))
    # It becomes a plain "sleep" of root without any capability (as a daemon
    # that drops them does), keeping the socket.
    holder = hold_port_69(s, "os.execvp('setpriv',['setpriv','--inh-caps=-all',"
                             "'--bounding-set=-all','--','sleep','600'])")
    netlab.wait_for(lambda: open("/proc/%d/comm" % holder.pid).read().strip() == "sleep", 5,
                    "the holder's exec")
    bf = s.start_brickfix()
    bf.answer("1")
    s.causes.add("port-taken")
    line = bf.expect(re.compile("^诊断（port-taken）："), timeout=60)
    check("sleep（进程号%d）" % holder.pid in line, "the holder and its pid: " + line)
    bf.expect_message_box("程序即将退出，请关闭其它TFTP工具！")
    check_eq(bf.wait_exit(), 0, "exit status")


def transfer_stalled(s):
    """The router stops acknowledging mid-transfer: after the server's
    retransmissions, stalled; the router's next attempt succeeds."""
    image, _ = wait_for_router(s, image=image_bytes(200000, "s24"))
    router = s.router("--silent-after", "3", "--expect-error", "Recv ack timeout!",
                      "--error-wait", "90")
    s.bf.expect("固件传送错误，请重试！", timeout=90)
    gave_up = time.time()
    s.expect_diagnosis("stalled", gave_up, 2.0)
    s.router_done(router)
    recovery_still_succeeds(s, image)


def needs_nftables():
    if shutil.which("nft") is None and not os.path.exists("/usr/sbin/nft"):
        raise Skip("nftables is not installed")


def router_expects_another_server(s):
    """The router asks by ARP for a server at 192.168.0.66: router-expects
    names that address; a router that asks for us afterwards is served."""
    image, _ = wait_for_router(s)
    asked = time.time()
    router = s.router("--arp-for", "192.168.0.66", "--expect-silence", "--retries", "3")
    line = s.expect_diagnosis("router-expects", asked, 2.0)
    check("192.168.0.66" in line, "the line names the address: " + line)
    s.router_done(router)
    check_eq(s.diagnosed(), [("router-expects", "192.168.0.66")], "the timeline's diagnosis")
    recovery_still_succeeds(s, image)


def firewall_drops_the_request(s):
    """nftables in pc drops UDP 69: the router's request shows twice on the
    wire and is never read: blocked, 1 s after the second. The run fails;
    its support bundle holds the capture, which tshark reads, with nothing
    from the other adapter that got requests meanwhile."""
    needs_nftables()
    s.lab.drop_tftp(s.lab.pc)
    wait_for_router(s)
    other = s.lab.add_pc_adapter("usb%d" % (os.getpid() % 10000), "10.88.0.2/24")  # plugged in now
    s.lab.add_address(s.lab.router, "10.88.0.1/24", other)
    stranger = s.router("--server", "10.88.0.2", "--expect-silence", "--retries", "3")
    started = time.time()
    router = s.router("--expect-silence", "--retries", "3")  # asks again after 0.5 s
    s.expect_diagnosis("blocked", started + 0.5, 2.0)
    s.router_done(router)
    s.router_done(stranger)
    s.bf.close_input()
    check_eq(s.bf.wait_exit(), 0, "exit status")

    bundle = os.path.join(s.work, "support.tar.gz")
    check_eq(s.support_bundle(bundle), 0, "--support-bundle status")
    names = netlab.run("tar", "-tzf", bundle).stdout.split()
    captures = [n for n in names if n.endswith(".pcapng")]
    check(len(captures) == 1, "one capture in %r" % names)
    pcapng = os.path.join(s.lab.tmp, "capture.pcapng")
    with open(pcapng, "wb") as f:
        f.write(subprocess.run(["tar", "-xzOf", bundle, captures[0]], check=True, stdout=subprocess.PIPE).stdout)
    fields = netlab.run("tshark", "-r", pcapng, "-T", "fields", "-E", "separator=,", "-e", "frame.interface_name",
                        "-e", "ip.src", "-e", "ip.dst", "-e", "arp.src.proto_ipv4", "-e", "udp.dstport").stdout
    frames = [line.split(",") for line in fields.splitlines()]
    check(frames and all(f[0] == s.ifname for f in frames), "only the chosen adapter: %r" % frames)
    check("10.88.0." not in fields, "nothing of the other adapter: %r" % frames)
    requests = [f for f in frames if f[1] == "192.168.1.1" and f[4] == "69"]
    check(len(requests) >= 2, "the router's dropped requests: %r" % frames)


# ---- the adapter's own settings ----

FLASHING = "烧录Flash中，大约需要两分钟，务必保持Terno不断电！"


def kill_in_each_stage(s):
    """kill -9 with the recovery address and with the LAN address: each time
    --restore-network brings back exactly what the adapter had. A run that
    finds a journal says so first and leaves the journal as it is."""
    image = image_bytes(50000, "s12")
    s.store("RX2004-3.1", image)
    s.office_setup()
    before = s.adapter_state()

    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    check(os.path.exists(s.journal()), "the journal is written before the change")
    with open(s.journal()) as f:
        kept = f.read()
    s.kill_brickfix()
    netlab.wait_for(lambda: s.adapter_state() == before, 10, "the helper putting the adapter back")
    bf = s.start_brickfix()
    check_eq(bf.lines[0], "上次运行没有还原网卡 %s 的原有设置，请退出后运行 brickfix "
             "--restore-network 还原。" % s.ifname, "the first log line")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    with open(s.journal()) as f:
        check_eq(f.read(), kept, "the earlier journal")
    s.restore_and_check(before)

    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image))
    bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.199.88/24"], 30, "the LAN address")
    s.kill_brickfix()
    netlab.wait_for(lambda: s.adapter_state() == before, 10, "the helper putting the adapter back")
    s.restore_and_check(before)

    # A journal planted with what the adapter has and more: routes beyond its
    # own subnets, above the uplink, "proto kernel", and the link down. None
    # of it is applied; it is printed for an administrator.
    beyond = ["route 0.0.0.0/0 via 10.0.0.254 src - metric 0 table 254 protocol 4 scope 0 type 1",
              "route 128.0.0.0/1 via - src - metric 100 table 254 protocol 4 scope 253 type 1",
              "route 10.200.0.0/16 via 10.0.0.254 src - metric 100 table 254 protocol 2 scope 0 type 1"]
    planted = kept.replace("link up\n", "link down\n").replace(
        "networkmanager", "\n".join(beyond) + "\nnetworkmanager")
    with open(s.journal(), "w") as f:
        f.write(planted)
    if s.operator:
        s.operator.own(s.journal())
    status, out, err = s.restore_network()
    check_eq(status, 1, "--restore-network with a planted journal")
    for command in ["ip route add default via 10.0.0.254 dev %s metric 0" % s.ifname,
                    "ip route add 128.0.0.0/1 dev %s metric 100" % s.ifname,
                    "ip route add 10.200.0.0/16 via 10.0.0.254 dev %s metric 100" % s.ifname,
                    "ip link set dev %s down" % s.ifname]:
        check(command in err, "the command %r in %r" % (command, err))
    check_eq(s.adapter_state(), before, "the adapter after the planted journal")
    check(os.path.exists(s.journal()), "the planted journal stays")
    os.remove(s.journal())


def static_office_address_survives(s):
    """A whole recovery on an adapter with static addresses of its own: DHCP
    cannot bring them back, so the journal stays, the last line says how to
    restore, and --restore-network does (stopping the DHCP client), all but
    the route below the metric floor, which it prints for an administrator."""
    image = image_bytes(60000, "s13")
    s.store("RX2004-3.1", image)
    s.office_setup()
    before = s.adapter_state()
    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image))
    bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    s.router_comes_back(after_seconds=2)
    bf.expect(re.compile(r"^\.*固件恢复成功！$"), timeout=90)
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    last = [l for l in bf.stderr if "--restore-network" in l]
    check(len(last) == 1 and "网卡 %s 现为 " % s.ifname in last[0] and "10.77.0.2/24" in last[0],
          "one line about the adapter: %r" % bf.stderr)
    s.restore_and_check(before, beyond=["ip route add 10.99.0.0/16 via 10.77.0.254 dev %s metric 5 "
                                        "proto static scope global" % s.ifname])
    check_eq(s.dhcp_clients(), [], "DHCP clients after the restore")


def dhcp_client_stopped_and_back(s):
    """ifupdown's dhclient serves the adapter: it is stopped while the static
    address is there and runs again after the hand-back, which, bringing back
    all there was, removes the journal."""
    image = image_bytes(70000, "s14")
    s.store("RX2004-3.1", image)
    pc, dev = s.lab.pc, s.ifname
    netlab.run("ip", "-n", pc, "addr", "flush", "dev", dev)
    s.lab.add_address(s.lab.router, "10.77.0.1/24")
    home_dhcp = s.start_dhcp_server("10.77.0.100", "10.77.0.150")
    s.lab.start(pc, ["dhclient", "-4", "-pf", "/run/dhclient.%s.pid" % dev,
                     "-lf", "/var/lib/dhcp/dhclient.%s.leases" % dev, dev],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait(timeout=60)
    netlab.wait_for(lambda: any(a.startswith("10.77.0.1") for a in s.pc_addresses()), 40,
                    "the home lease")
    check(len(s.dhcp_clients()) == 1, "one client serves the adapter")

    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    netlab.wait_for(lambda: s.dhcp_clients() == [], 5, "the client stopped")
    router = s.router("--expect-md5", md5(image))
    bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.199.88/24"], 30, "the LAN address")
    netlab.stop(home_dhcp)
    s.router_comes_back(after_seconds=2)
    bf.expect(re.compile(r"^\.*固件恢复成功！$"), timeout=90)
    check(len(s.dhcp_clients()) == 1, "the client runs again")
    netlab.wait_for(lambda: any(re.match(r"192\.168\.199\.1\d\d/24$", a) for a in s.pc_addresses()),
                    40, "a lease from the router")
    check(not os.path.exists(s.journal()), "the completed hand-back removed the journal")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    check(not any("--restore-network" in l for l in bf.stderr), "no line: %r" % bf.stderr)


# ---- NetworkManager manages the adapter ----

HOME_UUID = "6c1f0f5e-2d7a-4a55-9b0e-3f2a9a1c0b11"


def with_network_manager(s):
    """NetworkManager manages the pc adapter with its own DHCP profile "home";
    the router side hands out 10.77.0.x. Returns the adapter's state once the
    lease is there."""
    why = netlab.network_manager_missing()
    if why:
        raise Skip(why)
    pc, dev = s.lab.pc, s.ifname
    netlab.run("ip", "-n", pc, "addr", "flush", "dev", dev)
    s.lab.add_address(s.lab.router, "10.77.0.1/24")
    s.home_dhcp = s.start_dhcp_server("10.77.0.100", "10.77.0.150")
    s.nm = netlab.NetworkManager(s.lab, pc, dev)
    s.nm.add_profile("home", HOME_UUID)
    s.nm.launch()
    netlab.wait_for(lambda: s.nm.device()[1] == HOME_UUID and
                    any(a.startswith("10.77.0.1") for a in s.pc_addresses()), 40, "the home lease")
    return s.adapter_state()


def check_network_manager_has_home(s, before):
    netlab.wait_for(lambda: s.nm.device()[:2] == (100, HOME_UUID), 30, "the home profile active")
    netlab.wait_for(lambda: s.adapter_state() == before, 40, "the home lease back")
    check_eq(s.nm.profiles(), ["home"], "no profile of ours is left")
    check_eq(s.nm.saved_profiles(), ["home.nmconnection"], "nothing of ours was saved")


def nm_download_and_report_success(s):
    """The forced download, report code 0: our in-memory profile holds the
    address and is never saved; --restore-network brings back "home"."""
    before = with_network_manager(s)
    image = image_bytes(200000, "s15")
    s.release("RX2001", "1.2", image)
    s.start_cloud()
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("本地没有固件，强制从互联网下载固件：RX2001-1.2")
    bf.expect("下载完成，使用最新固件")
    s.expect_address_setup()
    check_eq(s.nm.device()[2], "brickfix-" + s.ifname, "our profile is active")
    router = s.router("--cfg", "--expect-size", str(len(image)), "--expect-md5", md5(image),
                      "--report", "RX2001:recovery:0")
    bf.expect_each(["固件烧录中，请耐心等待Terno回复烧录结果！", "结果上传中："], timeout=60)
    s.router_done(router)
    bf.expect("固件烧写成功！", timeout=120)
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address after success")
    check_eq(s.nm.saved_profiles(), ["home.nmconnection"], "our profile stays in memory")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    check(any("--restore-network" in l and "192.168.1.88/24" in l for l in bf.stderr),
          "the line about the adapter: %r" % bf.stderr)
    s.restore_and_check(before)
    check_network_manager_has_home(s, before)


def nm_router_comes_back(s):
    """Step 8 under NetworkManager: the LAN address in our profile, then the
    hand-back brings up "home" again with a lease from the router."""
    with_network_manager(s)
    image = image_bytes(80000, "s16")
    s.store("RX2004-3.1", image)
    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_address_setup()
    router = s.router("--expect-md5", md5(image))
    bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.199.88/24"], 30, "the LAN address")
    netlab.stop(s.home_dhcp)
    s.router_comes_back(after_seconds=2)
    bf.expect(re.compile(r"^\.*上电初始化中$"), timeout=60)
    bf.expect(re.compile(r"^\.*固件恢复成功！$"), timeout=90)
    netlab.wait_for(lambda: s.nm.device()[:2] == (100, HOME_UUID), 30, "the home profile active")
    netlab.wait_for(lambda: any(re.match(r"192\.168\.199\.1\d\d/24$", a) for a in s.pc_addresses()),
                    40, "a lease from the router")
    check_eq(s.nm.profiles(), ["home"], "our profile is gone")
    check_eq(s.nm.saved_profiles(), ["home.nmconnection"], "nothing of ours was saved")
    check(not os.path.exists(s.journal()), "the completed hand-back removed the journal")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    check(not any("--restore-network" in l for l in bf.stderr), "no line: %r" % bf.stderr)


def nm_kill_and_restore(s):
    """kill -9 while our profile holds the recovery address; --restore-network
    deletes it and brings "home" back with its lease."""
    before = with_network_manager(s)
    s.store("RX2002-2.0", image_bytes(10000, "s17"))
    bf = s.start_brickfix()
    bf.answer("2")
    s.expect_address_setup()
    s.kill_brickfix()
    check_eq(s.nm.device()[2], "brickfix-" + s.ifname, "our profile is left active")
    s.restore_and_check(before)
    check_network_manager_has_home(s, before)


class Skip(Exception):
    """The scenario cannot run here (a program is missing)."""


SCENARIOS = [
    ("S01_DownloadAndReportSuccess", download_and_report_success),
    ("S02_RetryAfterCode4", retry_after_code_4),
    ("S03_Code7RestoresDhcp", code_7_restores_dhcp),
    ("S04_RouterComesBackWithoutReport", router_comes_back_without_report),
    ("S05_WrongModel", wrong_model),
    ("S06_StoredEqualsCloud", stored_equals_cloud),
    ("S07_VersionsDiffer", versions_differ),
    ("S08_NoCloudNoStore", no_cloud_no_store),
    ("S09_Port69Taken", port_69_taken),
    ("S10_TwoAdapters", two_adapters),
    ("S11_LossyRouter", lossy_router),
    ("S12_KillInEachStageThenRestore", kill_in_each_stage),
    ("S13_StaticOfficeAddressSurvives", static_office_address_survives),
    ("S14_DhcpClientStoppedAndBack", dhcp_client_stopped_and_back),
    ("S15_NetworkManagerDownloadAndReport", nm_download_and_report_success),
    ("S16_NetworkManagerRouterComesBack", nm_router_comes_back),
    ("S17_NetworkManagerKillAndRestore", nm_kill_and_restore),
    ("S18_NoLinkThenReplugged", no_link_then_replugged),
    ("S19_NoFrames", no_frames),
    ("S20_RouterAtAnotherAddress", router_at_another_address),
    ("S21_AddressTakenAway", address_taken_away),
    ("S22_NetworkManagerTakesTheAdapterBack", nm_takes_the_adapter_back),
    ("S23_Port69HolderNamed", port_69_holder_named),
    ("S24_TransferStalled", transfer_stalled),
    ("S25_RouterExpectsAnotherServer", router_expects_another_server),
    ("S26_FirewallDropsTheRequest", firewall_drops_the_request),
    ("S27_OtherSubnetOnTheWire", lambda s: router_at_another_address(s, firewall=True)),
]


def main(scenarios=None, scenario_class=Scenario, add_arguments=None, skip_reason=None):
    """add_arguments(parser) adds a runner's own options; skip_reason(args)
    names what is missing for its scenarios (they are then skipped)."""
    scenarios = scenarios or SCENARIOS
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--scenario", action="append")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--as-user", action="store_true",
                    help="run brickfix as a throw-away unprivileged user whose network helper "
                         "alone has the capabilities")
    ap.add_argument("--via-sudo", action="store_true",
                    help="with --as-user: root starts brickfix on that user's behalf, as sudo does")
    if add_arguments:
        add_arguments(ap)
    args = ap.parse_args()
    # A suite started through sudo must not have the root runs become its user.
    for name in ("SUDO_UID", "SUDO_GID", "SUDO_USER", "SUDO_COMMAND", "PKEXEC_UID"):
        os.environ.pop(name, None)
    if args.list:
        print("\n".join(name for name, _ in scenarios))
        return 0
    why = netlab.can_create_namespaces()
    if not why and args.as_user:
        why = Operator.missing()
    if why:
        print("SKIPPED: the end-to-end suite needs network namespaces: " + why)
        return 77
    why = skip_reason(args) if skip_reason else None
    if why:
        print("SKIPPED: " + why)
        return 77
    if args.as_user:
        global OPERATOR
        OPERATOR = Operator(os.path.abspath(args.build), via_sudo=args.via_sudo)
        try:
            return run_scenarios(args, scenarios, scenario_class)
        finally:
            OPERATOR.close()
    return run_scenarios(args, scenarios, scenario_class)


def run_scenarios(args, scenarios, scenario_class):
    chosen = [(n, f) for n, f in scenarios if not args.scenario or n in args.scenario]
    failed = skipped = 0
    for name, fn in chosen:
        started = time.time()
        print("=== " + name, flush=True)
        try:
            with scenario_class(os.path.abspath(args.build), name, sys.stdout, args) as s:
                fn(s)
            print("--- %s passed (%.1f s)" % (name, time.time() - started), flush=True)
        except Skip as why:
            skipped += 1
            print("--- %s SKIPPED: %s" % (name, why), flush=True)
        except Exception:  # report and go on with the next scenario
            failed += 1
            traceback.print_exc()
            print("--- %s FAILED (%.1f s)" % (name, time.time() - started), flush=True)
    print("%d passed, %d failed, %d skipped" % (len(chosen) - failed - skipped, failed, skipped))
    if skipped and skipped == len(chosen):
        return 77
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
