#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""rs232-phone-homed's bench for a terminal (--lines, --csv, --pulse,
--cable-test) as a real process on a virtual serial device (tests/vserial).

Each group gets a fresh device, opened by its pty path. Standard library
only; prints "N passed, N failed" at the end.
"""

import argparse
import csv
import io
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from datetime import datetime

LINES = ["CTS", "DSR", "DCD", "RI", "DTR", "RTS"]

# No compiled files in the source tree.
sys.dont_write_bytecode = True
from test_service import Failure, wait_for  # noqa: E402  (the service test's waiting, shared)


class Bench:
    """A virtual device and the program started on it, its output in files."""

    def __init__(self, args, name):
        self.args = args
        self.work = tempfile.mkdtemp(prefix=f"bench-{name}-")
        devices = os.path.join(self.work, "devices")
        os.mkdir(devices)
        self.env = dict(os.environ, LD_PRELOAD=args.preload, VSERIAL_DEVICES=devices, LANG="C.UTF-8")
        self.ctl = subprocess.Popen([args.ctl, devices], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                    env=self.env)
        ready = self.ctl.stdout.readline().split()
        if not ready or ready[0] != "ready":
            raise Failure("the virtual device did not start")
        self.tty = os.path.realpath(os.path.join(ready[1], "tty"))
        self.procs = []

    def ask(self, command):
        self.ctl.stdin.write(command + "\n")
        self.ctl.stdin.flush()
        answer = self.ctl.stdout.readline().strip()
        if answer == "" or answer.startswith("error"):
            raise Failure(f"vserial_ctl {command}: {answer}")
        return answer

    def start(self, *options):
        name = f"p{len(self.procs)}"
        out = open(os.path.join(self.work, name + ".out"), "wb")
        err = open(os.path.join(self.work, name + ".err"), "wb")
        proc = subprocess.Popen([self.args.service, "--port", self.tty, *options], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        proc.files = (out.name, err.name)
        self.procs.append(proc)
        return proc

    @staticmethod
    def text(proc, which):
        with open(proc.files[which], errors="replace") as f:
            return f.read()

    def wait_text(self, proc, which, what, pattern, timeout=5.0):
        wait_for(what, lambda: (re.search(pattern, self.text(proc, which)) is not None,
                                self.text(proc, which)[-600:]), timeout)

    def run(self, *options, timeout=10):
        proc = self.start(*options)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"{options} did not end within {timeout} s")
        return proc.returncode, self.text(proc, 0), self.text(proc, 1)

    def stop(self, keep):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            if keep:
                print(f"    stdout: {self.text(proc, 0)[-1200:]}\n    stderr: {self.text(proc, 1)[-1200:]}")
        if self.ctl.poll() is None:
            self.ask_quietly("quit")
            self.ctl.wait(5)
        shutil.rmtree(self.work, ignore_errors=True)

    def ask_quietly(self, command):
        try:
            self.ctl.stdin.write(command + "\n")
            self.ctl.stdin.flush()
        except OSError:
            pass


def rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def lines_csv(b):
    """--lines --csv: the header, each line's level at the open, a DCD held high
    300 ms, a pulse between two readings, RI high and low; SIGINT ends it with
    the summary and 0."""
    b.ask("dsr 1")
    proc = b.start("--lines", "--csv")
    b.wait_text(proc, 0, "the rows of the open", r"\nRTS,|,RTS,low")
    b.ask("dcd 1")
    time.sleep(0.3)
    b.ask("dcd 0")
    # Every line request takes 20 ms: the watcher wakes, but the pulse is over
    # before it reads, so only the counters saw it.
    b.ask("latency 20000")
    b.ask("pulse cts 0")
    b.wait_text(proc, 0, "the pulse", r",CTS,pulse,")
    b.ask("latency 0")
    b.ask("ri 1")
    b.wait_text(proc, 0, "RI high", r",RI,high,")
    b.ask("ri 0")
    b.wait_text(proc, 0, "RI low", r",RI,low,\d+,")
    proc.send_signal(signal.SIGINT)
    status = proc.wait(10)
    out, err = b.text(proc, 0), b.text(proc, 1)
    if status != 0:
        raise Failure(f"SIGINT ended it with {status}")
    if not out.startswith("time,line,level,width_ms,count\n"):
        raise Failure(f"header: {out[:80]!r}")
    table = rows(out)
    opening = [(r["line"], r["level"], r["width_ms"]) for r in table[:6]]
    if opening != [(line, "high" if line == "DSR" else "low", "") for line in LINES]:
        raise Failure(f"rows of the open: {opening}")
    for r in table:
        datetime.fromisoformat(r["time"].replace("Z", "+00:00"))
        if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d)", r["time"]):
            raise Failure(f"time {r['time']}: not ISO 8601 with ms and the offset")
    dcd = [r for r in table[6:] if r["line"] == "DCD"]
    if [r["level"] for r in dcd] != ["high", "low"] or not 250 <= int(dcd[1]["width_ms"]) <= 450:
        raise Failure(f"DCD held 300 ms: {dcd}")
    if dcd[1]["count"] != "2":
        raise Failure(f"DCD's counter after two edges: {dcd}")
    pulse = [r for r in table if r["level"] == "pulse"]
    if [(r["line"], r["width_ms"], r["count"]) for r in pulse] != [("CTS", "", "2")]:
        raise Failure(f"the pulse: {pulse}")
    ri = [r["level"] for r in table[6:] if r["line"] == "RI"]
    if ri != ["high", "low"]:
        raise Failure(f"RI: {ri}")
    for expected in (r"DCD \(1\): 2 changes, 0 pulses, shortest high \d+ ms", r"CTS \(8\): 0 changes, 1 pulse",
                     r"RI \(9\): 2 changes"):
        if not re.search(expected, err):
            raise Failure(f"summary lacks {expected!r}: {err}")


def lines_polled(b):
    """A driver that can neither wait nor count: --lines reads every 100 ms, and
    its rows have no counts."""
    b.ask("driver none")
    proc = b.start("--lines", "--csv")
    b.wait_text(proc, 1, "the watch mode is said", r"open \(driver unknown, poll\)")
    b.wait_text(proc, 0, "the rows of the open", r",RTS,low")
    b.ask("dcd 1")
    time.sleep(0.5)
    b.ask("dcd 0")
    b.wait_text(proc, 0, "DCD low", r",DCD,low,\d+,")
    proc.send_signal(signal.SIGINT)
    if proc.wait(10) != 0:
        raise Failure(f"SIGINT ended it with {proc.returncode}")
    dcd = [r for r in rows(b.text(proc, 0))[6:] if r["line"] == "DCD"]
    if [(r["level"], r["count"]) for r in dcd] != [("high", ""), ("low", "")] or \
            not 350 <= int(dcd[1]["width_ms"]) <= 700:
        raise Failure(f"DCD polled: {dcd}")


def service_refused_while_held(b):
    """While --lines holds the port, the service is refused with the holder named."""
    proc = b.start("--lines")
    b.wait_text(proc, 1, "--lines opened the port", r"open \(driver")
    state = os.path.join(b.work, "state")
    service = b.start("--state-dir", state, "--script-dir", b.work)
    b.wait_text(service, 1, "the service refused", r"event=error number=204 ")
    log = b.text(service, 1)
    if not re.search(rf"in use by rs232-phone-hom\w* \(process {proc.pid}\)", log):
        raise Failure(f"the holder is not named: {log[-800:]}")
    again = b.run("--lines")
    if again[0] != 1 or "error 204:" not in again[2]:
        raise Failure(f"a second --lines: {again}")


def ri_in_the_record(b):
    """The service records RI's changes as lines, never as an alarm."""
    service = b.start("--state-dir", os.path.join(b.work, "state"), "--script-dir", b.work)
    b.wait_text(service, 1, "the port opened", r"event=opened")
    b.wait_text(service, 1, "RI low at the open", r"event=line line=RI level=low")
    b.ask("ri 1")
    b.wait_text(service, 1, "RI high", r"event=line line=RI level=high")
    b.ask("ri 0")
    b.wait_text(service, 1, "RI low again", r"event=line line=RI level=low(.|\n)*event=line line=RI level=low")
    log = b.text(service, 1)
    if "event=alarm" in log or "event=pulse" in log:
        raise Failure(f"RI made an alarm: {log[-800:]}")


def pulse_alone(b):
    """--pulse dtr:300 raises DTR for about 300 ms, then the program ends with 0;
    with --dtr the pulse lowers it instead."""
    proc = b.start("--pulse", "dtr:300")
    wait_for("DTR raised", lambda: (b.ask("dtr?") == "1", "low"), 3)
    t0 = time.monotonic()
    wait_for("DTR back low", lambda: (b.ask("dtr?") == "0", "high"), 3)
    held = time.monotonic() - t0
    if proc.wait(5) != 0 or held > 0.5:
        raise Failure(f"status {proc.returncode}, DTR held {held:.2f} s")
    proc = b.start("--lines", "--csv", "--dtr", "--pulse", "dtr:100")
    b.wait_text(proc, 0, "DTR lowered and raised", r",DTR,low,\d+,\n.*,DTR,high,\d+,")
    proc.send_signal(signal.SIGTERM)
    if proc.wait(5) != 0:
        raise Failure(f"SIGTERM ended --lines with {proc.returncode}")
    for bad in ("dtr:5", "cts:100", "dtr"):
        status, _, err = b.run("--pulse", bad)
        if status != 2 or "bad --pulse" not in err:
            raise Failure(f"--pulse {bad}: status {status}, {err[:200]}")


def cable_test(b):
    """--cable-test names the standard plug (0), a missing wire and no plug (1),
    and leaves the outputs as it found them."""
    cases = [("standard", 0, "This is the standard loopback plug."),
             ("with-ri", 0, "DTR (4) reaches RI (9)"),
             ("no-dcd", 1, "DTR (4) does not reach DCD (1)"),
             ("none", 1, "No plug: nothing follows the outputs.")]
    for plug, expected, words in cases:
        b.ask(f"plug {plug}")
        status, out, err = b.run("--cable-test")
        if status != expected or words not in out:
            raise Failure(f"plug {plug}: status {status}, {out!r} {err[-300:]!r}")
    b.ask("plug standard")
    status, out, _ = b.run("--cable-test")
    if "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1)" not in out:
        raise Failure(f"wiring: {out!r}")


GROUPS = [lines_csv, lines_polled, service_refused_while_held, ri_in_the_record, pulse_alone, cable_test]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("service", "ctl", "preload"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--only", action="append")
    args = parser.parse_args()
    passed = failed = 0
    for group in GROUPS:
        if args.only and group.__name__ not in args.only:
            continue
        bench = Bench(args, group.__name__)
        ok = False
        try:
            group(bench)
            ok = True
            passed += 1
            print(f"PASS {group.__name__}")
        except Exception as e:  # noqa: BLE001 - any failure of a group is reported
            failed += 1
            print(f"FAIL {group.__name__}: {e}")
            if not isinstance(e, Failure):
                traceback.print_exc()
        finally:
            bench.stop(keep=not ok)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
