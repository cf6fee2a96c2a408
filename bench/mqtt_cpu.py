#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""CPU time of rs232-phone-homed polling steady lines, with and without --mqtt.

    bench/mqtt_cpu.py BUILD_DIR [--runs 3] [--seconds 30]

The service runs on the virtual device (alias /dev/com12, as in the service
test: do not run this while ctest runs), with a mosquitto of its own on
127.0.0.1 for the --mqtt runs. Each run waits 2 s after start, then reads
the CPU time of all its threads (/proc/PID/task/*/schedstat) over the given
seconds. Prints each run and
the medians as % of one core.
"""

import argparse
import os
import statistics
import sys
import time
from types import SimpleNamespace

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "service"))
sys.path.insert(0, os.path.join(here, "..", "tests", "mqtt"))
from test_service import Run  # noqa: E402
from test_mqtt import Broker  # noqa: E402


def cpu_seconds(pid):
    """CPU time of all the process's threads, in ns from schedstat: utime+stime
    counts 10 ms ticks, too coarse for a process that idles at 0.1 %."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:
            pass
    return total / 1e9


def measure(args, mqtt):
    run = Run(args, "bench-mqtt" if mqtt else "bench-plain")
    broker = None
    try:
        options = []
        if mqtt:
            broker = Broker(args.mosquitto, run.work)
            options = ["--mqtt", broker.url(), "--mqtt-node", "bench"]
        run.service(*options)
        if mqtt:
            run.wait_log("connected", "event=mqtt-connected")
        time.sleep(2)
        t0, c0 = time.monotonic(), cpu_seconds(run.proc.pid)
        time.sleep(args.seconds)
        t1, c1 = time.monotonic(), cpu_seconds(run.proc.pid)
        return 100.0 * (c1 - c0) / (t1 - t0)
    finally:
        if broker:
            broker.stop()
        run.stop(False)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    args = SimpleNamespace(service=os.path.join(build, "rs232-phone-homed"),
                           ctl=os.path.join(build, "tests", "e2e", "vserial_ctl"),
                           preload=os.path.join(build, "tests", "vserial", "libvserial_preload.so"),
                           mosquitto=options.mosquitto, seconds=options.seconds)
    results = {False: [], True: []}
    for i in range(options.runs):
        for mqtt in (False, True):  # interleaved: load from others hits both alike
            pct = measure(args, mqtt)
            results[mqtt].append(pct)
            print(f"run {i + 1} {'--mqtt' if mqtt else 'plain '}: {pct:.3f} % of a core", flush=True)
    plain, mqtt = statistics.median(results[False]), statistics.median(results[True])
    print(f"median without --mqtt: {plain:.3f} %, with --mqtt: {mqtt:.3f} %, ratio {mqtt / plain:.2f}")


if __name__ == "__main__":
    sys.exit(main())
