#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Edges against sampling, in one run, for the service rs232-phone-homed on a
virtual serial device (tests/vserial):

    bench/edges.py [BUILD_DIR]      (default: build)

The baseline is the same program on a device whose emulated driver can
neither wait nor count (as cp210x): it falls back to reading the lines every
100 ms, as the program did before it waited for edges. Reported:

  latency  from an edge of CTS on the device to the fire script's start (the
           program's "notification" log line), median and 99th percentile
           over LATENCY_EDGES edges (default 100) at random phases;
  pulses   alarms from PULSES pulses of 20 ms (default 100), 50 to 150 ms apart;
  idle     voluntary context switches and CPU time of a steady service over
           IDLE_SECONDS (default 60), all threads.

The spool's cost: the same latency once more with the state folder on tmpfs
(/dev/shm), where a sync costs nothing, against the run above on the disk
that holds the work folder: each alarm's entry and its folder are synced
before the script starts.

Run it alone (flock /tmp/phone-home-vserial.lock bench/edges.py): the
figures are ratios within one run on a shared machine, not absolute limits.
"""

import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(HERE), "build"))
SERVICE = os.path.join(BUILD, "rs232-phone-homed")
CTL = os.path.join(BUILD, "tests", "e2e", "vserial_ctl")
PRELOAD = os.path.join(BUILD, "tests", "vserial", "libvserial_preload.so")
LATENCY_EDGES = int(os.environ.get("LATENCY_EDGES", "100"))
PULSES = int(os.environ.get("PULSES", "100"))
IDLE_SECONDS = float(os.environ.get("IDLE_SECONDS", "60"))


def wait_for(probe, timeout, what):
    end = time.monotonic() + timeout
    while not probe():
        if time.monotonic() > end:
            raise SystemExit(f"edges.py: {what}: not within {timeout} s")
        time.sleep(0.002)


class Service:
    """A device in a driver mode, and the service watching it."""

    # The pause before each edge, a random phase against any tick (seconds).
    PHASE = (0.05, 0.25)

    def __init__(self, work, driver, state=None):
        env, device = self.device(work, driver)
        self.ask(f"driver {driver}")
        self.watch(os.readlink(os.path.join(device, "tty")), env, state)

    def device(self, work, prefix):
        """The scripts and a virtual device of a fresh folder: the environment and the device's folder."""
        self.work = tempfile.mkdtemp(dir=work, prefix=prefix + "-")
        self.scripts = os.path.join(self.work, "scripts")
        os.mkdir(self.scripts)
        for name in ("Fire.sh", "Flood.sh", "Intruder.sh"):
            with open(os.path.join(self.scripts, name), "w") as f:
                f.write("exit 0\n")
        devices = os.path.join(self.work, "devices")
        os.mkdir(devices)
        env = dict(os.environ, LD_PRELOAD=PRELOAD, VSERIAL_DEVICES=devices, LANG="C.UTF-8")
        env.pop("NOTIFY_SOCKET", None)
        env.pop("JOURNAL_STREAM", None)
        self.ctl = subprocess.Popen([CTL, devices], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        return env, self.ctl.stdout.readline().split()[1]

    def watch(self, port, env, state=None):
        """The service on port, once it watches it."""
        self.log_path = os.path.join(self.work, "service.log")
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([SERVICE, "--port", port, "--script-dir", self.scripts,
                                          "--state-dir", state or os.path.join(self.work, "state")],
                                         env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        wait_for(lambda: "event=watch" in self.log(), 10, "the service opening the port")
        self.mode = self.log().split("event=watch mode=")[1].split()[0]

    def ask(self, command):
        self.ctl.stdin.write(command + "\n")
        self.ctl.stdin.flush()
        return self.ctl.stdout.readline().strip()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def events(self, event):
        """Wall-clock times of each such event in the log."""
        times = []
        for line in self.log().splitlines():
            if f" event={event} " in line + " ":
                times.append(datetime.fromisoformat(line.split()[0].replace("Z", "+00:00")).timestamp())
        return times

    def latency(self, edges=None):
        delays = self.delays(LATENCY_EDGES if edges is None else edges)
        delays.sort()
        return statistics.median(delays), delays[min(len(delays) - 1, int(len(delays) * 0.99))]

    def delays(self, edges):
        delays = []
        for _ in range(edges):
            time.sleep(random.uniform(*self.PHASE))
            done = len(self.events("notification-ended"))
            normal = len(self.events("normal"))
            t0 = time.time()
            self.ask("cts 1")
            wait_for(lambda: len(self.events("notification-ended")) > done, 5, "the fire script")
            delays.append((self.events("notification")[-1] - t0) * 1000)
            self.ask("cts 0")
            wait_for(lambda: len(self.events("normal")) > normal, 5, "back to NORMAL")
        return delays

    def pulses(self):
        before = len(self.events("alarm"))
        for _ in range(PULSES):
            # Random gaps: a fixed period would beat with a 100 ms sampler.
            time.sleep(random.uniform(0.05, 0.15))
            self.ask("pulse cts 20")
        time.sleep(1.5)
        return len(self.events("alarm")) - before

    def idle(self):
        def sample():
            switches = 0
            for tid in os.listdir(f"/proc/{self.proc.pid}/task"):
                with open(f"/proc/{self.proc.pid}/task/{tid}/status") as f:
                    for line in f:
                        if line.startswith("voluntary_ctxt_switches:"):
                            switches += int(line.split()[1])
            with open(f"/proc/{self.proc.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks = int(fields[11]) + int(fields[12])
            return switches, ticks * 1000 / os.sysconf("SC_CLK_TCK")
        time.sleep(2)
        s0, c0 = sample()
        time.sleep(IDLE_SECONDS)
        s1, c1 = sample()
        return (s1 - s0) / IDLE_SECONDS, c1 - c0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.ask("quit")
        self.ctl.wait(5)


def main():
    for path in (SERVICE, CTL, PRELOAD):
        if not os.path.exists(path):
            raise SystemExit(f"edges.py: {path} is missing: build the tests first")
    with tempfile.TemporaryDirectory(prefix="phone-home-edges-") as work:
        results = {}
        for driver in ("count", "none"):
            service = Service(work, driver)
            try:
                print(f"{driver}: watched by {service.mode}", flush=True)
                results[driver] = {"latency": service.latency(), "pulses": service.pulses(), "idle": service.idle()}
                print(f"  {results[driver]}", flush=True)
            finally:
                service.stop()
        edges, poll = results["count"], results["none"]
        rows = [
            ("latency median (ms)", edges["latency"][0], poll["latency"][0]),
            ("latency p99 (ms)", edges["latency"][1], poll["latency"][1]),
            (f"onsets of {PULSES} pulses of 20 ms", edges["pulses"], poll["pulses"]),
            ("idle wake-ups per second", edges["idle"][0], poll["idle"][0]),
            (f"idle CPU ms in {IDLE_SECONDS:.0f} s", edges["idle"][1], poll["idle"][1]),
        ]
        # Both at once, taking turns edge by edge, so that a load that comes
        # and goes on a shared machine falls on both alike.
        with tempfile.TemporaryDirectory(dir="/dev/shm", prefix="phone-home-edges-") as shm:
            on_disk, on_tmpfs = Service(work, "count"), Service(work, "count", state=shm)
            try:
                disk_delays, tmpfs_delays = [], []
                for _ in range(LATENCY_EDGES):
                    disk_delays += on_disk.delays(1)
                    tmpfs_delays += on_tmpfs.delays(1)
            finally:
                on_disk.stop()
                on_tmpfs.stop()

        def spread(delays):
            delays.sort()
            return statistics.median(delays), delays[min(len(delays) - 1, int(len(delays) * 0.99))]
        results["disk"], results["tmpfs"] = {"latency": spread(disk_delays)}, {"latency": spread(tmpfs_delays)}
        print(f"  state on disk, tmpfs: {results['disk']} {results['tmpfs']}", flush=True)
        print(f"\n    {'':34} {'wait+count':>11} {'poll (100 ms)':>14} {'ratio':>7}")
        for name, a, b in rows:
            ratio = f"{a / b:.2f}" if b else "-"
            print(f"    {name:34} {a:11.1f} {b:14.1f} {ratio:>7}")
        disk, tmpfs = results["disk"], results["tmpfs"]
        print(f"\n    {'spool synced before the script':34} {'disk':>11} {'tmpfs':>14} {'ratio':>7}")
        for name, a, b in [("latency median (ms)", disk["latency"][0], tmpfs["latency"][0]),
                           ("latency p99 (ms)", disk["latency"][1], tmpfs["latency"][1])]:
            print(f"    {name:34} {a:11.1f} {b:14.1f} {a / b if b else 0:7.2f}")


if __name__ == "__main__":
    main()
