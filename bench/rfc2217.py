#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A port on another machine against one on this machine, in one run, for the
service rs232-phone-homed on a virtual serial device (tests/vserial):

    bench/rfc2217.py [BUILD_DIR]      (default: build)

The remote port is Debian's ser2net serving the device over RFC 2217 on
127.0.0.1; the baseline is the same service opening the device itself
(wait+count). Reported:

  latency  from CTS set on the device to the fire script's start (the
           program's "notification" log line), median and 90th percentile
           over LATENCY_EDGES edges (default 30) at random phases;
  pulses   the share of PULSES pulses (default 10) of each width in WIDTHS
           (milliseconds, default 50 100 200 500 1000 2000) that raise an
           alarm, 1 to 2 s apart at random.

Run it alone: the figures are ratios within one run on a shared machine, not
absolute limits. ser2net is found as /usr/sbin/ser2net (SER2NET to override).
"""

import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time

# The edges benchmark's service, its waiting and its measuring, shared.
sys.dont_write_bytecode = True
import edges  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(HERE), "build"))
SERVICE = os.path.join(BUILD, "rs232-phone-homed")
CTL = os.path.join(BUILD, "tests", "e2e", "vserial_ctl")
PRELOAD = os.path.join(BUILD, "tests", "vserial", "libvserial_preload.so")
SER2NET = os.environ.get("SER2NET", "/usr/sbin/ser2net")
LATENCY_EDGES = int(os.environ.get("LATENCY_EDGES", "30"))
PULSES = int(os.environ.get("PULSES", "10"))
WIDTHS = [int(w) for w in os.environ.get("WIDTHS", "50 100 200 500 1000 2000").split()]

# The device is the test's own: nouucplock keeps ser2net from leaving lock files
# in the machine's /var/lock.
CONFIG = """%YAML 1.1
---
connection: &bench
    accepter: telnet(rfc2217),tcp,127.0.0.1,{port}
    enable: on
    options:
      kickolduser: true
    connector: serialdev(nouucplock),{device},9600n81,local
"""


class Bench(edges.Service):
    """A device, optionally ser2net serving it, and the service watching it."""

    def __init__(self, work, remote):
        env, device = self.device(work, "remote" if remote else "local")
        tty = os.path.join(device, "tty")
        self.ser2net = None
        port = tty
        if remote:
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                tcp = s.getsockname()[1]
            config = os.path.join(self.work, "ser2net.yaml")
            with open(config, "w") as f:
                f.write(CONFIG.format(port=tcp, device=tty))
            self.ser2net = subprocess.Popen([SER2NET, "-n", "-d", "-c", config, "-P",
                                             os.path.join(self.work, "ser2net.pid")],
                                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            port = f"rfc2217://127.0.0.1:{tcp}"
            env = {k: v for k, v in env.items() if k != "LD_PRELOAD"}
        self.watch(port, env)

    # A random phase against the server's sampling, once a second.
    PHASE = (0.1, 1.1)

    def latency(self):
        delays = sorted(self.delays(LATENCY_EDGES))
        return statistics.median(delays), delays[min(len(delays) - 1, int(len(delays) * 0.9))]

    def pulses(self, width):
        before = len(self.events("alarm"))
        for _ in range(PULSES):
            time.sleep(random.uniform(1.0, 2.0))
            self.ask(f"pulse cts {width}")
        time.sleep(2.5)
        return len(self.events("alarm")) - before

    def stop(self):
        for proc in (self.proc, self.ser2net):
            if proc:
                proc.terminate()
                proc.wait(10)
        self.ask("quit")
        self.ctl.wait(5)


def main():
    for path in (SERVICE, CTL, PRELOAD, SER2NET):
        if not os.path.exists(path):
            raise SystemExit(f"rfc2217.py: {path} is missing: build the tests first, install ser2net")
    with tempfile.TemporaryDirectory(prefix="phone-home-rfc2217-") as work:
        results = {}
        for remote in (True, False):
            bench = Bench(work, remote)
            try:
                print(f"{'rfc2217' if remote else 'local'}: watched by {bench.mode}", flush=True)
                results[remote] = {"latency": bench.latency(), "pulses": {w: bench.pulses(w) for w in WIDTHS}}
                print(f"  {results[remote]}", flush=True)
            finally:
                bench.stop()
        remote, local = results[True], results[False]
        rows = [("latency median (ms)", remote["latency"][0], local["latency"][0]),
                ("latency p90 (ms)", remote["latency"][1], local["latency"][1])]
        rows += [(f"pulses of {w} ms caught (of {PULSES})", remote["pulses"][w], local["pulses"][w]) for w in WIDTHS]
        print(f"\n    {'':34} {'rfc2217':>9} {'local':>9} {'ratio':>7}")
        for name, a, b in rows:
            ratio = f"{a / b:.2f}" if b else "-"
            print(f"    {name:34} {a:9.1f} {b:9.1f} {ratio:>7}")


if __name__ == "__main__":
    main()
