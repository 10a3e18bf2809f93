#!/usr/bin/env python3
"""The Windows program end to end under Wine, in the network namespaces of the
end-to-end lab.

Wine runs inside "pc" with a Wine prefix of its own (one wineserver per
prefix, started inside the namespace, so that Wine sees the namespace's
interfaces and nothing else). The test names the adapter in the registry as
Windows would ("Name" under the adapter's network key; Wine's adapter GUIDs
carry the Linux interface index in their first field). Wine's own netsh and
arp do nothing: stand-ins built with the tests (command_standin.exe) take
their place in the prefix's system32; each keeps its command line in a file
and waits while this script carries the command out in the namespace (Wine
cannot wait on a Linux process), then exits with the status written back.

Usage: wine.py --build LINUX_BUILD --windows-build WINDOWS_BUILD [--scenario NAME ...]
"""

import fcntl
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
import netlab  # noqa: E402
from driver import Brickfix  # noqa: E402
from e2e import INSTRUCTIONS, check, check_eq, image_bytes, md5  # noqa: E402

TCPIP_INTERFACES = r"HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces"
NETWORK_KEY = r"HKLM\SYSTEM\ControlSet001\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}"
CONNECTION = "以太网"  # the name Windows gives the first wired connection
PC_HOME = e2e.PC_HOME_ADDRESS
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def find_wine():
    for candidate in ("/usr/lib/wine/wine64", shutil.which("wine64") or ""):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def wine_env(prefix):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "WINEARCH": "win64",
                "WINEDLLOVERRIDES": "mscoree,mshtml=;netsh.exe,arp.exe=n",
                "LC_ALL": "C.UTF-8", "DISPLAY": ""})
    return env


def windows_path(path):
    """The path as Wine's Z: drive shows the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class PrefixTemplate:
    """A Wine prefix made once per Windows build (wineboot is slow) and copied
    for each namespace: hard links for Wine's files, real copies of the
    registry files and the stand-ins, so that no run changes the template."""

    def __init__(self, winbuild, wine):
        self.wine = wine
        self.winbuild = winbuild
        self.path = os.path.join(winbuild, "wine-prefix-e2e")
        self.standin = os.path.join(winbuild, "command_standin.exe")

    def ensure(self):
        with open(os.path.join(self.winbuild, ".wine-prefix-e2e.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.isdir(self.path):
                self._make()

    def _make(self):
        tmp = self.path + ".new"
        shutil.rmtree(tmp, ignore_errors=True)
        env = wine_env(tmp)
        # Only Wine's own start-up runs here, in this namespace: no program
        # of ours.
        subprocess.run([self.wine, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=300)
        for value in ("netsh.exe", "arp.exe"):
            subprocess.run([self.wine, "reg", "add", r"HKCU\Software\Wine\DllOverrides", "/v",
                            value, "/d", "native", "/f"], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True, timeout=120)
        subprocess.run([os.path.join(os.path.dirname(self.wine), "wineserver"), "-w"], env=env,
                       timeout=120)
        os.rename(tmp, self.path)

    def copy(self, dest):
        if subprocess.run(["cp", "-al", self.path, dest], stderr=subprocess.DEVNULL).returncode:
            shutil.rmtree(dest, ignore_errors=True)  # another file system: a real copy
            subprocess.run(["cp", "-a", self.path, dest], check=True)
        for name in glob.glob(os.path.join(self.path, "*.reg")):
            target = os.path.join(dest, os.path.basename(name))
            os.remove(target)
            shutil.copy2(name, target)
        system32 = os.path.join(dest, "drive_c", "windows", "system32")
        for program in ("netsh.exe", "arp.exe"):
            target = os.path.join(system32, program)
            if os.path.exists(target):
                os.remove(target)  # a link into the template: never write through it
            shutil.copy2(self.standin, target)


class StandInServer:
    """Carries out the stand-ins' commands in the pc namespace."""

    STATIC = re.compile(r'^netsh interface ip set address "(.*)" static (\S+) (\S+) (\S+) (\d+)$')
    DHCP = re.compile(r'^netsh interface ip set address "(.*)" dhcp$')
    DNS = re.compile(r'^netsh interface ip (set|add) dnsservers "%s" ' % CONNECTION)

    def __init__(self, scenario, folder):
        self.s = scenario
        self.folder = folder
        self.commands = []  # the command lines, in order
        self.stop = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def close(self):
        self.stop.set()
        self.thread.join(5)

    def _serve(self):
        n = 1
        while not self.stop.is_set():
            path = os.path.join(self.folder, "%d.cmd" % n)
            if not os.path.exists(path):
                time.sleep(0.02)
                continue
            with open(path, "rb") as f:
                line = f.read().decode("utf-8", "replace")
            self.commands.append(line)
            if self.s.log:
                self.s.log.write("  netsh| %s\n" % line)
            try:
                status = self._carry_out(line)
            except Exception as e:  # noqa: BLE001 - reported by the scenario
                self.error = "%s: %s" % (line, e)
                status = 1
            tmp = os.path.join(self.folder, "%d.status.tmp" % n)
            with open(tmp, "w") as f:
                f.write(str(status))
            os.rename(tmp, os.path.join(self.folder, "%d.status" % n))
            n += 1

    def _carry_out(self, line):
        pc, dev = self.s.lab.pc, self.s.ifname
        m = self.STATIC.match(line)
        if m:
            if m.group(1) != CONNECTION:
                return 1
            prefix = sum(bin(int(part)).count("1") for part in m.group(3).split("."))
            netlab.run("ip", "-n", pc, "addr", "flush", "dev", dev)
            netlab.run("ip", "-n", pc, "addr", "add", "%s/%d" % (m.group(2), prefix), "dev", dev)
            netlab.run("ip", "-n", pc, "route", "replace", "default", "via", m.group(4), "dev",
                       dev, "metric", m.group(5))
            return 0
        m = self.DHCP.match(line)
        if m:
            if m.group(1) != CONNECTION:
                return 1
            netlab.run("ip", "-n", pc, "addr", "flush", "dev", dev)
            leases = os.path.join(self.s.lab.tmp, "dhclient")
            os.makedirs(leases, exist_ok=True)
            self.s.lab.start(pc, ["dhclient", "-d", "-4", "-pf", os.path.join(leases, "pid"),
                                  "-lf", os.path.join(leases, "leases"), dev],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return 0
        if line == "arp -d":
            netlab.run("ip", "-n", pc, "neigh", "flush", "all")
            return 0
        if self.DNS.match(line):
            return 0  # the namespace has no resolver of the adapter's own: recorded only
        return 1


class WineScenario(e2e.Scenario):
    """A lab scenario whose brickfix is the Windows program under Wine."""

    def __init__(self, build, name, log, args):
        super().__init__(build, name, log, args)
        self.winbuild = os.path.abspath(args.windows_build)
        self.wine = find_wine()
        self.prefix = None
        self.standins = None

    def __enter__(self):
        super().__enter__()
        template = PrefixTemplate(self.winbuild, self.wine)
        template.ensure()
        self.prefix = os.path.join(self.lab.tmp, "wineprefix")
        template.copy(self.prefix)
        folder = os.path.join(self.lab.tmp, "standin")
        os.makedirs(folder)
        self.standins = StandInServer(self, folder)
        self.env = wine_env(self.prefix)
        self.env["BRICKFIX_STANDIN_DIR"] = windows_path(folder)
        # The adapter's connection name, as Windows keeps it. This first Wine
        # process starts the prefix's wineserver inside the namespace.
        index = int(netlab.run("ip", "netns", "exec", self.lab.pc, "cat",
                               "/sys/class/net/%s/ifindex" % self.ifname).stdout)
        self.adapter_key = "%s\\{%08X-0000-0000-0000-4E6574446576}\\Connection" % (NETWORK_KEY, index)
        r = subprocess.run(self.lab.exec_args(self.lab.pc, [self.wine, "reg", "add", self.adapter_key,
                                                             "/v", "Name", "/t", "REG_SZ", "/d",
                                                             CONNECTION, "/f"]),
                           env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=120)
        if r.returncode != 0:
            raise AssertionError("wine reg add failed: %s" % r.stdout)
        return self

    def __exit__(self, *exc):
        if self.standins:
            self.standins.close()
        if self.bf and self.bf.proc.poll() is None:
            self.bf.proc.kill()
        if self.prefix:
            subprocess.run([os.path.join(os.path.dirname(self.wine), "wineserver"), "-k"],
                           env=wine_env(self.prefix), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        return super().__exit__(*exc)

    def program(self):
        return os.path.join(self.winbuild, "brickfix.exe")

    def start_brickfix(self):
        env = dict(self.env)
        env.update({"BRICKFIX_CLOUD_HOST": "127.0.0.1:%d" % e2e.CLOUD_PORT,
                    # A build made for the tests ends an upload after 6.3 s
                    # of silence instead of 63 s; other builds ignore this.
                    "BRICKFIX_TEST_UPLOAD_WAIT_MS": "100"})
        launcher = [self.wine]
        if os.path.exists(os.path.join(self.certs, "ca.pem")):
            # Wine takes its root certificates from the system's bundle: in
            # the program's own mount namespace (every "ip netns exec" has
            # one) the bundle also holds the local cloud's test CA.
            bundle = os.path.join(self.lab.tmp, "ca-certificates.crt")
            with open(bundle, "w") as out:
                for name in (SYSTEM_BUNDLE, os.path.join(self.certs, "ca.pem")):
                    if os.path.exists(name):
                        with open(name) as f:
                            out.write(f.read())
            launcher = ["sh", "-c", 'mount --bind "$1" "$2" && shift 2 && exec "$@"', "trust",
                        bundle, SYSTEM_BUNDLE, self.wine]
        self.bf = Brickfix(self.lab, self.program(), self.work, env, self.log,
                           launcher=launcher)
        self.started.append(self.bf)
        for line in e2e.MENU:
            self.bf.expect(line, timeout=60)
        return self.bf

    def commands(self):
        if self.standins.error:
            raise AssertionError("a stand-in's command failed: " + self.standins.error)
        return list(self.standins.commands)

    def expect_commands(self, lines, timeout=30):
        netlab.wait_for(lambda: len(self.commands()) >= len(lines), timeout,
                        "the commands %r (ran: %r)" % (lines, self.commands()))
        check_eq(self.commands(), lines, "the commands run")

    def name_adapter(self, ifname, name):
        """The connection name of adapter ifname in pc, in the registry."""
        index = int(netlab.run("ip", "netns", "exec", self.lab.pc, "cat",
                               "/sys/class/net/%s/ifindex" % ifname).stdout)
        key = "%s\\%s\\Connection" % (NETWORK_KEY, self.guid(index))
        self.reg_add(key, "Name", "REG_SZ", name)
        return index

    @staticmethod
    def guid(index):
        return "{%08X-0000-0000-0000-4E6574446576}" % index

    def reg_add(self, key, value, kind, data):
        r = subprocess.run(self.lab.exec_args(self.lab.pc, [self.wine, "reg", "add", key, "/v", value,
                                                             "/t", kind, "/d", data, "/f"]),
                           env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        if r.returncode != 0:
            raise AssertionError("wine reg add failed: %s" % r.stdout)

    def state_files(self, pattern):
        """Files of the program's state folder, %LOCALAPPDATA%\\Brickfix, by name."""
        return sorted(glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Local",
                                             "Brickfix", pattern)))

    def wine_journals(self):
        return self.state_files("adapter-*.journal")

    def timelines(self):
        out = []
        for name in self.state_files("timeline-*.jsonl"):
            with open(name, encoding="utf-8") as f:
                out.append([json.loads(line) for line in f])
        return out

    def run_program(self, *args):
        """brickfix.exe ARGS in pc, beside a run: (status, stdout, stderr)."""
        p = self.lab.start(self.lab.pc, [self.wine, self.program()] + list(args), env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = p.communicate(timeout=120)
        if self.log:
            self.log.write("".join("  %s| %s\n" % (args[0], l) for l in (out + err).splitlines()))
        return p.returncode, out, err

    def restore_network(self):
        return self.run_program("--restore-network")

    def expect_listing(self):
        self.bf.expect("当前可用网卡如下，请正确选择所使用的网卡：")
        self.bf.expect("1. %s (%s)" % (CONNECTION, PC_HOME.split("/")[0]))
        self.bf.expect("只发现一块网卡，强制使用这块网卡。")


def static(address, gateway):
    return ('netsh interface ip set address "%s" static %s 255.255.255.0 %s 1'
            % (CONNECTION, address, gateway))


DHCP = 'netsh interface ip set address "%s" dhcp' % CONNECTION
RECOVERY = static("192.168.1.88", "192.168.1.1")
LAN = static("192.168.199.88", "192.168.199.1")


# ---- scenarios ----

def router_comes_back(s):
    """No report: the LAN address, the probe until the router answers at
    192.168.199.1, DHCP, the probe again, success."""
    image = image_bytes(150000, "w1")
    s.store("RX2004-3.1", image)
    bf = s.start_brickfix()
    check_eq(s.pc_addresses(), [PC_HOME], "the address before the recovery")
    bf.answer("4")
    bf.expect("使用本地固件：RX2004-3.1", timeout=60)
    s.expect_listing()
    s.expect_address_setup()
    s.expect_commands([RECOVERY])
    router = s.router("--expect-md5", md5(image), "--expect-size", str(len(image)))
    bf.expect("传输文件中：", timeout=60)
    bf.expect("烧录Flash中，大约需要两分钟，务必保持Terno不断电！", timeout=60)
    s.router_done(router)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.199.88/24"], 30, "the LAN address")
    s.expect_commands([RECOVERY, LAN, "arp -d"])
    s.router_comes_back(after_seconds=4)
    bf.expect(re.compile(r"^\.+上电初始化中$"), timeout=60)  # dots while the router was away
    bf.expect(re.compile(r"^\.*固件恢复成功！$"), timeout=90)
    s.expect_commands([RECOVERY, LAN, "arp -d", DHCP, "arp -d"])
    netlab.wait_for(lambda: any(re.match(r"192\.168\.199\.(1[0-4]\d|150)/24", a)
                                for a in s.pc_addresses()), 30, "a DHCP lease from the router")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def report_success(s):
    """The router fetches the configuration record and the image, then
    uploads report code 0."""
    image = image_bytes(300000, "w2")
    s.store("RX2001-1.2", image)
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("使用本地固件：RX2001-1.2", timeout=60)
    s.expect_listing()
    s.expect_address_setup()
    router = s.router("--cfg", "--expect-size", str(len(image)), "--expect-md5", md5(image),
                      "--report", "RX2001:recovery:0")
    bf.expect("传输文件中：", timeout=60)
    bf.expect_each(["固件烧录中，请耐心等待Terno回复烧录结果！", "结果上传中："], timeout=60)
    s.router_done(router)
    bf.expect("固件烧写成功！", timeout=120)
    check_eq(s.commands(), [RECOVERY], "the commands run")
    check_eq(s.pc_addresses(), ["192.168.1.88/24"], "the address after success")
    check_eq(s.rom_files(), {"RX2001-1.2": image}, "the store")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def download_and_report_success(s):
    """No stored image: the cloud's release is downloaded over HTTPS, stored,
    and served; the router reports success."""
    image = image_bytes(300000, "w6")
    s.release("RX2001", "1.2", image)
    s.start_cloud()
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("本地没有固件，强制从互联网下载固件：RX2001-1.2", timeout=60)
    bf.expect("下载完成，使用最新固件", timeout=60)
    check_eq(s.rom_files(), {"RX2001-1.2": image}, "the store after the download")
    s.expect_listing()
    s.expect_address_setup()
    router = s.router("--cfg", "--expect-size", str(len(image)), "--expect-md5", md5(image),
                      "--report", "RX2001:recovery:0")
    bf.expect_each(["固件烧录中，请耐心等待Terno回复烧录结果！", "结果上传中："], timeout=60)
    s.router_done(router)
    bf.expect("固件烧写成功！", timeout=120)
    check_eq(s.commands(), [RECOVERY], "the commands run")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")


def wrong_model(s):
    """Another model's router: the box, DHCP for the adapter, the end."""
    s.store("RX2001-1.0", image_bytes(3000, "w3"))
    bf = s.start_brickfix()
    bf.answer("1")
    s.expect_address_setup()
    router = s.router("--image", "RX2003-recovery.bin", "--expect-silence")
    bf.expect_message_box("实际机型为“RX2003”，与选择不符，请在退出后重试！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")
    s.router_done(router)
    s.expect_commands([RECOVERY, DHCP])
    check(s.pc_addresses() != ["192.168.1.88/24"], "the static address was handed back")


def port_69_taken(s):
    """Another TFTP server holds UDP port 69: port-taken says so, then the
    box, DHCP, the end."""
    s.store("RX2001-1.0", image_bytes(1000, "w4"))
    holder = s.lab.start(s.lab.pc, [s.wine, os.path.join(s.winbuild, "tftp_bench_server.exe"),
                                    windows_path(os.path.join(s.rom, "RX2001-1.0"))],
                         env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    netlab.wait_for(lambda: "0.0.0.0:69 " in netlab.run(
        "ip", "netns", "exec", s.lab.pc, "ss", "-Hlun").stdout + " ", 60, "the holder on port 69")
    bf = s.start_brickfix()
    bf.answer("1")
    # Wine keeps every socket in its server: the holder has no process there
    # (on Windows the line names tftp_bench_server.exe and its process id).
    s.causes.add("port-taken")
    bf.expect("诊断（port-taken）：UDP 69端口被其它程序占用。请关闭它后重试。", timeout=60)
    bf.expect_message_box("程序即将退出，请关闭其它TFTP工具！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")
    s.expect_commands([RECOVERY, DHCP])
    check(holder.poll() is None, "the holder still runs")


def real_peers(s):
    """tftp-hpa and curl fetch an image of more than 32 MiB (the block number
    rolls over) from the Windows program's TFTP service, byte for byte."""
    image = image_bytes(32 * 1024 * 1024 + 700, "w5")
    folder = os.path.join(s.lab.tmp, "peers")
    os.makedirs(folder)
    source = os.path.join(folder, "image.bin")
    with open(source, "wb") as f:
        f.write(image)
    netlab.run("ip", "-n", s.lab.pc, "addr", "flush", "dev", s.ifname)
    s.lab.add_address(s.lab.pc, "192.168.1.88/24", s.ifname)
    server = s.lab.start(s.lab.pc, [s.wine, os.path.join(s.winbuild, "tftp_bench_server.exe"),
                                    windows_path(source)],
                         env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    netlab.wait_for(lambda: "0.0.0.0:69 " in netlab.run(
        "ip", "netns", "exec", s.lab.pc, "ss", "-Hlun").stdout + " ", 60, "the server on port 69")
    peers = [("tftp-hpa", lambda out: ["tftp", "-4", "-m", "binary", "192.168.1.88", "69", "-c",
                                       "get", "recovery.bin", out]),
             ("curl", lambda out: ["curl", "-s", "-o", out, "tftp://192.168.1.88/recovery.bin"])]
    for name, argv in peers:
        out = os.path.join(folder, name + ".bin")
        started = time.time()
        r = subprocess.run(s.lab.exec_args(s.lab.router, argv(out)), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=180)
        if s.log:
            s.log.write("  %s: %.1f s, status %d %s\n" % (name, time.time() - started,
                                                          r.returncode, r.stdout.strip()))
        check(os.path.exists(out), name + " wrote no file")
        with open(out, "rb") as f:
            got = f.read()
        check_eq(len(got), len(image), name + ": the size")
        check(got == image, name + ": the bytes differ")
    check(server.poll() is None, "the server still runs")


OFFICE_STATIC = ('netsh interface ip set address "%s" static 10.77.0.2 255.255.255.0 10.77.0.1 0'
                 % CONNECTION)
OFFICE_DNS = ['netsh interface ip set dnsservers "%s" static 10.77.0.53 primary validate=no' % CONNECTION,
              'netsh interface ip add dnsservers "%s" 10.77.0.54 index=2 validate=no' % CONNECTION]


def killed_run_then_restore(s):
    """The adapter set up by hand as in an office (its address, gateway and
    DNS servers in the registry, as Windows keeps them): the run is killed
    with the recovery address; the next start names the adapter first;
    --restore-network puts the office settings back and removes the journal,
    and a second one finds nothing to do."""
    s.store("RX2004-3.1", image_bytes(3000, "w7"))
    index = int(netlab.run("ip", "netns", "exec", s.lab.pc, "cat",
                           "/sys/class/net/%s/ifindex" % s.ifname).stdout)
    key = TCPIP_INTERFACES + "\\" + s.guid(index)
    for value, kind, data in (("EnableDHCP", "REG_DWORD", "0"), ("IPAddress", "REG_MULTI_SZ", "10.77.0.2"),
                              ("SubnetMask", "REG_MULTI_SZ", "255.255.255.0"),
                              ("DefaultGateway", "REG_MULTI_SZ", "10.77.0.1"),
                              ("DefaultGatewayMetric", "REG_MULTI_SZ", "0"),
                              ("NameServer", "REG_SZ", "10.77.0.53,10.77.0.54")):
        s.reg_add(key, value, kind, data)
    bf = s.start_brickfix()
    bf.answer("4")
    s.expect_listing()
    s.expect_address_setup()
    s.expect_commands([RECOVERY])
    check_eq(len(s.wine_journals()), 1, "the journal, written before the change")
    s.kill_brickfix()
    bf = s.start_brickfix()
    check_eq(bf.lines[0], "上次运行没有还原网卡 %s 的原有设置，请退出后运行 brickfix "
             "--restore-network 还原。" % CONNECTION, "the first log line")
    bf.close_input()
    check_eq(bf.wait_exit(), 0, "exit status")
    status, out, err = s.restore_network()
    check_eq((status, err), (0, ""), "--restore-network (%s)" % out)
    check("网卡 %s 已还原原有设置（10.77.0.2/24）。" % CONNECTION in out, "the restore says so: %r" % out)
    s.expect_commands([RECOVERY, OFFICE_STATIC] + OFFICE_DNS)
    check_eq(s.pc_addresses(), [PC_HOME], "the office address")
    check_eq(s.wine_journals(), [], "the journal is gone")
    status, out, _ = s.restore_network()
    check_eq(status, 0, "a second --restore-network")
    check("没有需要还原的网卡设置。" in out, "nothing is left to do: %r" % out)
    check_eq(len(s.commands()), 4, "no command ran the second time")


def elevation_declined(s):
    """The operator says no to the elevation prompt (a test build plays him):
    the log says so, the address step fails as a command that cannot start,
    and nothing is changed or kept."""
    s.store("RX2001-1.0", image_bytes(1000, "w8"))
    s.env["BRICKFIX_TEST_DECLINE_ELEVATION"] = "1"
    bf = s.start_brickfix()
    bf.answer("1")
    s.expect_listing()
    bf.expect("正在配置本机IP地址信息，请稍候...")
    bf.expect("未获得管理员权限（Windows 的询问被拒绝），无法更改网卡设置。请重新运行，并在 Windows 询问时选择“是”。")
    bf.expect("设置地址错误，请与版主反馈！")
    bf.expect("设置地址错误，请与版主反馈！")
    check_eq(bf.wait_exit(), 0, "exit status")
    check_eq(s.commands(), [], "the commands run")
    check_eq(s.pc_addresses(), [PC_HOME], "the adapter's address")
    check_eq(s.wine_journals(), [], "the journals")


def rom_through_a_junction(s):
    """Rom is a link to another folder (how Wine shows a junction): it is
    refused as a store, so with the cloud away there is no firmware at all,
    and the folder behind it is left alone."""
    elsewhere = os.path.join(s.lab.tmp, "elsewhere")
    os.makedirs(elsewhere)
    with open(os.path.join(elsewhere, "RX2001-1.0"), "wb") as f:
        f.write(image_bytes(1000, "w9"))
    os.symlink(elsewhere, s.rom)
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect_message_box("本地没有固件且无法联网找到最新固件，请联系客服提供对应机型升级固件！", timeout=60)
    check_eq(bf.wait_exit(), 0, "exit status")
    check_eq(sorted(os.listdir(elsewhere)), ["RX2001-1.0"], "the folder behind the link")
    check(os.path.islink(s.rom), "the link stays")
    check_eq(s.commands(), [], "the commands run")


def another_adapters_request(s):
    """A host on another adapter's network asks for the image: the listener
    takes requests only from the chosen adapter, so it gets no answer, and
    the router on the chosen one is served."""
    image = image_bytes(20000, "w10")
    s.store("RX2001-1.0", image)
    other = "usb%d" % (os.getpid() % 10000)
    s.lab.add_pc_adapter(other, "10.88.0.2/24")
    peer = "bfxc%d%s" % (s.lab.extra_links, s.lab.tag_short()[-6:])
    s.lab.add_address(s.lab.router, "10.88.0.1/24", peer)
    s.name_adapter(other, CONNECTION + " 2")
    bf = s.start_brickfix()
    bf.answer("1")
    bf.expect("当前可用网卡如下，请正确选择所使用的网卡：")
    bf.expect(re.compile(r"^1\. "))
    bf.expect(re.compile(r"^2\. "))
    lines = bf.lines_since("当前可用网卡如下，请正确选择所使用的网卡：")
    number = next(l.split(".")[0] for l in lines if l.endswith(" (%s)" % PC_HOME.split("/")[0]))
    time.sleep(0.5)  # the list is printed before answers are taken
    bf.answer(number)
    s.expect_address_setup()
    stranger = subprocess.run(s.lab.exec_args(s.lab.router, [
        "/usr/bin/python3", "-c",
        "import socket\n"
        "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        "s.bind(('10.88.0.1',0))\ns.settimeout(3)\n"
        "s.sendto(b'\\x00\\x01recovery.bin\\x00octet\\x00',('10.88.0.2',69))\n"
        "try:\n  print('answered', s.recvfrom(600)[1])\nexcept socket.timeout:\n  print('silence')\n"]),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
    check_eq(stranger.stdout.strip(), "silence", "the other adapter's request")
    check("传输文件中：" not in bf.all_text(), "no transfer for it")
    router = s.router("--expect-md5", md5(image))
    bf.expect(FLASHING, timeout=60)
    s.router_done(router)


FLASHING = "烧录Flash中，大约需要两分钟，务必保持Terno不断电！"


# ---- the wait that explains itself: what Windows shows without a capture ----

def no_link_then_media_sense(s):
    """The cable is pulled at the router's end: no-link 5 s later. The
    address goes while the link is down, as Windows' media sense takes it:
    address-lost says it comes back with the link, and it does, within a
    second of the link, through the elevated part. A router that asked
    meanwhile is served."""
    image, _ = e2e.wait_for_router(s)
    s.lab.set_link(s.lab.router, False)
    pulled = time.time()
    s.expect_diagnosis("no-link", pulled, 7.0, at_least=4.8)
    netlab.run("ip", "-n", s.lab.pc, "addr", "del", "192.168.1.88/24", "dev", s.ifname)
    taken = time.time()
    line = s.expect_diagnosis("address-lost", taken, 2.0)
    check("网线接好后将自动恢复" in line, "the address comes back with the link: " + line)
    router = s.router("--expect-md5", md5(image), "--retries", "60", "--retransmit", "500")
    time.sleep(2)
    check_eq(s.commands(), [RECOVERY], "no repair without a link")
    s.lab.set_link(s.lab.router, True)
    netlab.wait_for(lambda: s.pc_addresses() == ["192.168.1.88/24"], 1.5, "the address back with the link")
    check_eq(s.commands(), [RECOVERY, RECOVERY], "the watchdog's command, through the elevated part")
    s.bf.expect(FLASHING, timeout=60)
    s.router_done(router)
    events = [e["event"] for e in s.timelines()[-1]]
    for event in ("carrier-down", "carrier-up", "address-gone", "address-repaired"):
        check(event in events, "%s in the timeline" % event)


def router_at_another_address(s):
    """A router at 10.0.0.1 asks: other-subnet, and it is not served. Its
    ARP request leaves it in the neighbour table, which the timeline shows
    (the recovery subnet's neighbours are the frames Windows can see); Wine
    tells nothing of its firewall."""
    e2e.router_at_another_address(s)
    netlab.wait_for(lambda: any(e["event"] == "neighbour" for e in s.timelines()[-1]), 2, "a neighbour")
    seen = [(e["event"], e.get("address", e.get("verdict"))) for e in s.timelines()[-1]
            if e["event"] in ("neighbour", "firewall")]
    check_eq(seen, [("firewall", "unknown"), ("neighbour", "10.0.0.1")], "the neighbours and the firewall")


def address_taken_away(s):
    """Another process removes the recovery address: the watchdog puts it
    back through the elevated part's netsh, and the recovery goes on."""
    e2e.address_taken_away(s)
    check_eq(s.commands(), [RECOVERY, RECOVERY], "the watchdog's command, through the elevated part")


def stalled_then_bundle(s):
    """The router stops acknowledging: stalled, and its next attempt
    succeeds. The support bundle of the run is a zip that unzip reads: its
    timeline with the diagnosis, the diagnostics, the adapter's journal and
    the system."""
    e2e.transfer_stalled(s)
    bundle = os.path.join(s.lab.tmp, "bundle.zip")
    status, out, err = s.run_program("--support-bundle", windows_path(bundle))
    check_eq((status, err), (0, ""), "--support-bundle (%s)" % out)
    check(windows_path(bundle) in out, "it says where the bundle is: %r" % out)
    r = subprocess.run(["unzip", "-t", bundle], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    check_eq(r.returncode, 0, "unzip -t: " + r.stdout)
    names = subprocess.run(["unzip", "-Z1", bundle], stdout=subprocess.PIPE, text=True, check=True).stdout.split()
    run = os.path.basename(s.state_files("timeline-*.jsonl")[-1])[len("timeline-"):-len(".jsonl")]
    top = "brickfix-support-%s/" % run
    check_eq(sorted(names), sorted(top + n for n in (
        "system.txt", "timeline-%s.jsonl" % run, "diagnostics-%s.log" % run,
        os.path.basename(s.wine_journals()[0]))), "the bundle's files")
    show = lambda name: subprocess.run(["unzip", "-p", bundle, top + name], stdout=subprocess.PIPE,
                                       check=True).stdout.decode("utf-8")
    check("Wine" in show("system.txt"), "the system: %r" % show("system.txt"))
    check('"cause":"stalled"' in show("timeline-%s.jsonl" % run), "the diagnosis in the timeline")


SCENARIOS = [
    ("W01_RouterComesBack", router_comes_back),
    ("W02_ReportSuccess", report_success),
    ("W03_WrongModel", wrong_model),
    ("W04_Port69Taken", port_69_taken),
    ("W05_RealPeersOver32MiB", real_peers),
    ("W06_DownloadAndReportSuccess", download_and_report_success),
    ("W07_KilledRunThenRestore", killed_run_then_restore),
    ("W08_ElevationDeclined", elevation_declined),
    ("W09_RomThroughAJunction", rom_through_a_junction),
    ("W10_AnotherAdaptersRequest", another_adapters_request),
    ("W11_NoLinkThenMediaSense", no_link_then_media_sense),
    ("W12_NoFrames", e2e.no_frames),
    ("W13_RouterAtAnotherAddress", router_at_another_address),
    ("W14_AddressTakenAway", address_taken_away),
    ("W15_TransferStalledThenBundle", stalled_then_bundle),
]


def add_arguments(parser):
    parser.add_argument("--windows-build", required=True)


def skip_reason(args):
    if not find_wine():
        return "Wine (wine64) is not installed"
    for program in ("brickfix.exe", "command_standin.exe", "tftp_bench_server.exe"):
        if not os.path.exists(os.path.join(args.windows_build, program)):
            return "no Windows build in %s (scripts/build-windows.sh)" % args.windows_build
    return None


if __name__ == "__main__":
    sys.exit(e2e.main(SCENARIOS, WineScenario, add_arguments, skip_reason))
