#!/usr/bin/env python3
"""A whole recovery by hand, against a simulated router and a local cloud.

Creates the "pc" and "router" network namespaces, starts the local cloud with
a release newer than the stored one, and opens the real brickfix window in
"pc". When the adapter has its recovery address, the simulated router fetches
the image, writes its "flash" and comes back a few seconds later on
192.168.199.1, where it hands out a DHCP lease. Everything is removed when the
window closes.

Usage: demo.py --build DIR [--auto]
  --auto  answer the questions itself in line mode (for a check without a person)
"""

import argparse
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netlab  # noqa: E402
from e2e import Scenario, image_bytes, md5  # noqa: E402

STORED_VERSION = "1.0.3"
NEW_VERSION = "1.1.0"
IMAGE_SIZE = 6 * 1024 * 1024
ROUTER_REBOOT_SECONDS = 6


def play_router(s, image, stop, report):
    """Waits for the recovery address, then plays the router."""
    while not stop.is_set():
        if "192.168.1.88/24" in s.pc_addresses():
            break
        time.sleep(0.5)
    else:
        return
    time.sleep(2)  # the operator "holds RST and powers the router on"
    sim = s.router("--expect-size", str(len(image)), "--expect-md5", md5(image),
                   "--retries", "60")
    out, _ = sim.communicate()
    report.append(out)
    if sim.returncode != 0 or stop.is_set():
        return
    time.sleep(2)  # the router writes its flash and reboots
    s.router_comes_back(after_seconds=ROUTER_REBOOT_SECONDS)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--auto", action="store_true")
    args = ap.parse_args()
    why = netlab.can_create_namespaces()
    if why:
        print("The demo needs network namespaces (run it as root): " + why)
        return 77 if args.auto else 1
    build = os.path.abspath(args.build)
    with Scenario(build, "demo", None) as s:
        new_image = image_bytes(IMAGE_SIZE, "demo-new")
        s.release("RX2001", NEW_VERSION, new_image, delivery="pieces", pieceSize=16384,
                  pieceDelayMs=4)
        s.store("RX2001-" + STORED_VERSION, image_bytes(IMAGE_SIZE, "demo-old"))
        s.start_cloud()
        stop = threading.Event()
        report = []
        router = threading.Thread(target=play_router, args=(s, new_image, stop, report),
                                  daemon=True)
        router.start()
        env = dict(os.environ, BRICKFIX_CLOUD_HOST="127.0.0.1:8443",
                   SSL_CERT_FILE=os.path.join(s.certs, "ca.pem"),
                   XDG_STATE_HOME=s.state_home)  # the journal of the lab's adapter stays there
        binary = os.path.join(build, "src/brickfix")
        print("Network namespaces %s (the PC) and %s (the router) are ready." % (s.lab.pc,
                                                                                s.lab.router))
        print("Choose model 1 (Terno Lark) and answer 1 to download the newer firmware.")
        if args.auto:
            status = run_auto(s, env, binary)
        else:
            time.sleep(1.5)
            status = subprocess.call(s.lab.exec_args(s.lab.pc, [binary]), cwd=s.work, env=env)
        stop.set()
        print("brickfix ended with status %d." % status)
        if report:
            print("The simulated router said:\n" + report[-1])
        print("Store now holds: %s" % ", ".join(sorted(s.rom_files())))
    return 0 if status == 0 else 1


def run_auto(s, env, binary):
    p = s.lab.start(s.lab.pc, [binary, "--ui=line"], cwd=s.work, env=env,
                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    p.stdin.write("1\n1\n")
    p.stdin.flush()
    ok = False
    for line in p.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        if "固件恢复成功" in line:
            ok = True
            break
    p.stdin.close()
    status = p.wait(timeout=30)
    return status if ok else 1


if __name__ == "__main__":
    sys.exit(main())
