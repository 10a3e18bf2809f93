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
    a plain copy. Both are removed again."""

    PREFIX = "bfxu"
    HELPER_CAPS = "cap_net_admin,cap_net_raw,cap_net_bind_service+ep"

    @staticmethod
    def missing():
        for program in ("useradd", "userdel", "setcap", "setpriv"):
            if shutil.which(program) is None and not os.path.exists("/usr/sbin/" + program):
                return program + " is not installed"
        return None

    def __init__(self, build):
        self.remove_stale()
        self.name = "%s%d" % (self.PREFIX, os.getpid())
        netlab.run("useradd", "--system", "--user-group", "--no-create-home",
                   "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", self.name)
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        # A folder of its own that the user can reach, on a file system that
        # keeps file capabilities.
        self.dir = tempfile.mkdtemp(prefix="bfx-operator-", dir="/tmp")
        os.chmod(self.dir, 0o755)
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

    def wrap(self, argv):
        """argv run as the user, with its group and nothing else."""
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid, "--clear-groups",
                "--"] + list(argv)

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
            tag = entry.pw_name[len(cls.PREFIX):]
            if entry.pw_name.startswith(cls.PREFIX) and tag.isdigit() and \
                    not os.path.exists("/proc/" + tag):
                netlab.run("userdel", entry.pw_name, check=False)


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
        # The program's journal and diagnostics stay in the lab.
        self.state_home = os.path.join(self.lab.tmp, "state")
        return self

    def __exit__(self, *exc):
        if self.bf and self.bf.proc.poll() is None:
            self.bf.proc.kill()
        self.lab.close()
        for leftover in ("/var/lib/dhcp/dhclient.%s.leases" % self.ifname,
                         "/run/dhclient.%s.pid" % self.ifname):
            if os.path.exists(leftover):
                os.remove(leftover)
        return False

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

    def command(self, *args):
        """brickfix with args, as root or as the operator."""
        if not self.operator:
            return [os.path.join(self.build, "src/brickfix")] + list(args)
        os.chmod(self.lab.tmp, 0o755)
        os.makedirs(self.state_home, exist_ok=True)
        self.operator.own(self.work, self.state_home)
        if os.path.exists(self.certs):
            os.chmod(self.certs, 0o755)
            os.chmod(os.path.join(self.certs, "ca.pem"), 0o644)
        return self.operator.wrap([self.operator.program] + list(args))

    def start_brickfix(self):
        env = {"BRICKFIX_CLOUD_HOST": "127.0.0.1:%d" % CLOUD_PORT,
               "SSL_CERT_FILE": os.path.join(self.certs, "ca.pem"),
               "XDG_STATE_HOME": self.state_home,
               # A build made for the tests ends an upload after 6.3 s of
               # silence instead of 63 s; other builds ignore this.
               "BRICKFIX_TEST_UPLOAD_WAIT_MS": "100"}
        command = self.command()
        self.bf = Brickfix(self.nm or self.lab, command[-1], self.work, env, self.log,
                           launcher=command[:-1])
        for line in MENU:
            self.bf.expect(line)
        if self.operator:
            status = process_status(self.bf.proc.pid)
            check_eq(status.get("Uid", "").split()[:1], [str(self.operator.uid)], "the program's user")
            check_eq(status.get("CapEff"), "0000000000000000", "the program's capabilities")
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

    def restore_and_check(self, before, settle=None):
        """--restore-network puts back `before` and removes the journal; a
        second run finds nothing to do."""
        check(os.path.exists(self.journal()), "a journal before the restore")
        status, out, err = self.restore_network()
        check_eq(status, 0, "--restore-network status (%s%s)" % (out, err))
        check("has its own settings back" in out, "the restore says so: %r" % out)
        check(not os.path.exists(self.journal()), "the journal is gone")
        netlab.wait_for(lambda: self.adapter_state() == before, 30,
                        "the adapter's own settings: %r, not %r" % (before, self.adapter_state()))
        if settle:
            settle()
        status, out, _ = self.restore_network()
        check_eq(status, 0, "a second --restore-network")
        check("Nothing to put back" in out, "nothing is left to do: %r" % out)

    def office_setup(self):
        """The adapter set up by hand, as in an office: two static addresses,
        a default route and a route to another network; no DHCP client."""
        pc, dev = self.lab.pc, self.ifname
        netlab.run("ip", "-n", pc, "addr", "add", "10.78.0.3/16", "dev", dev)
        netlab.run("ip", "-n", pc, "route", "add", "default", "via", "10.77.0.1", "metric", "100")
        netlab.run("ip", "-n", pc, "route", "add", "10.99.0.0/16", "via", "10.77.0.254",
                   "metric", "5", "proto", "static")

    def kill_brickfix(self):
        self.bf.proc.kill()
        self.bf.wait_exit()


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
    bf = s.start_brickfix()
    check_eq(s.pc_addresses(), [PC_HOME_ADDRESS], "the address before the recovery")
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
    s.router_comes_back(after_seconds=4)
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
    bf.proc.kill()
    bf.wait_exit()

    # Back to the home network, then answer 1: the new image replaces the old file.
    netlab.run("ip", "-n", s.lab.pc, "addr", "flush", "dev", s.ifname)
    s.lab.add_address(s.lab.pc, PC_HOME_ADDRESS, s.ifname)
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


def hold_port_69_and_choose_a_model(s):
    """Another program holds UDP port 69 in pc; the program ends at its box."""
    s.store("RX2001-1.0", image_bytes(1000, "s9"))
    holder = s.lab.start(s.lab.pc, ["/usr/bin/python3", "-c",
                                    "import socket,time\n"
                                    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                                    "s.bind(('0.0.0.0',69))\nprint('bound',flush=True)\n"
                                    "time.sleep(600)"],
                         stdout=subprocess.PIPE, text=True)
    check_eq(holder.stdout.readline().strip(), "bound", "port 69 held")
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect_message_box("程序即将退出，请关闭其它TFTP工具！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")


def port_69_taken(s):
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
    s.restore_and_check(before)


def static_office_address_survives(s):
    """A whole recovery on an adapter with static addresses of its own: DHCP
    cannot bring them back, so the journal stays, the last line says how to
    restore, and --restore-network does (stopping the DHCP client)."""
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
    check(len(last) == 1 and "%s keeps " % s.ifname in last[0] and "10.77.0.2/24" in last[0],
          "one line about the adapter: %r" % bf.stderr)
    s.restore_and_check(before)
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
    if add_arguments:
        add_arguments(ap)
    args = ap.parse_args()
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
        OPERATOR = Operator(os.path.abspath(args.build))
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
