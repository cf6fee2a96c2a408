#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The service rs232-phone-homed, and the window's start-up options, as real
processes on a virtual serial device (tests/vserial), with notification
scripts of the test's own that write one marker line per run.

Each group gets a fresh device named /dev/com12 and a fresh script folder.
Standard library only; prints "N passed, N failed" at the end.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

ALIAS = "/dev/com12"
LOCK = "/var/lock/LCK..com12"
MARKER = '''#!/bin/sh
echo "$PHONE_HOME_CHANNEL $PHONE_HOME_REASON $PHONE_HOME_PORT $PHONE_HOME_DEVICE $PHONE_HOME_LINE $PHONE_HOME_TIME" >> "%s"
'''
SCRIPTS = ["Fire.sh", "Flood.sh", "Intruder.sh", "Fault.sh"]


class Failure(Exception):
    pass


def wait_for(what, probe, timeout=5.0):
    end = time.monotonic() + timeout
    while True:
        ok, detail = probe()
        if ok:
            return
        if time.monotonic() > end:
            raise Failure(f"{what}: not within {timeout} s ({detail})")
        time.sleep(0.05)


class Run:
    """A device, a script folder and one program started on them."""

    def __init__(self, args, name):
        self.args = args
        self.work = tempfile.mkdtemp(prefix=f"svc-{name}-")
        os.chmod(self.work, 0o755)
        self.scripts = os.path.join(self.work, "scripts")
        os.mkdir(self.scripts, 0o755)
        self.markers = os.path.join(self.work, "markers")
        for script in SCRIPTS:
            path = os.path.join(self.scripts, script)
            with open(path, "w") as f:
                f.write(MARKER % self.markers)
            os.chmod(path, 0o644)
        devices = os.path.join(self.work, "devices")
        os.mkdir(devices)
        self.env = dict(os.environ, LD_PRELOAD=args.preload, VSERIAL_DEVICES=devices, LANG="C.UTF-8")
        self.ctl = subprocess.Popen([args.ctl, devices, ALIAS], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    text=True, env=self.env)
        if not self.ctl.stdout.readline().startswith("ready"):
            raise Failure("the virtual device did not start")
        self.log_path = os.path.join(self.work, "program.log")
        self.proc = None

    def ask(self, command):
        self.ctl.stdin.write(command + "\n")
        self.ctl.stdin.flush()
        return self.ctl.stdout.readline().strip()

    def start(self, program, *options, env=None):
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen([program, *options], env=env or self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=log)

    def service(self, *options):
        self.start(self.args.service, "--port", "12", "--script-dir", self.scripts, *options)
        self.wait_log("the port is opened", "event=opened")

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, what, text, count=1, timeout=5.0):
        wait_for(what, lambda: (self.log().count(text) >= count, self.log()[-600:]), timeout)

    def runs(self):
        if not os.path.exists(self.markers):
            return []
        with open(self.markers) as f:
            return [line.split() for line in f if line.strip()]

    def expect_runs(self, what, expected, timeout=3.0, settle=0.6):
        """(channel, reason) of every run so far, in order, and no more after settle s."""
        def probe():
            got = [tuple(r[:2]) for r in self.runs()]
            return got == expected, f"runs {got}, expected {expected}"
        wait_for(what, probe, timeout)
        time.sleep(settle)
        ok, detail = probe()
        if not ok:
            raise Failure(f"{what} (and no more): {detail}")

    def terminate(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure(f"signal {sig} did not end the program within 10 s")

    def stop(self, keep):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.ctl.poll() is None:
            self.ask("quit")
            self.ctl.wait(5)
        if keep:
            print(f"    log: {self.log()[-1500:]}")
        shutil.rmtree(self.work, ignore_errors=True)


def alarm_runs_script_once(r):
    """An alarm runs its script once, with the whole environment."""
    r.service()
    r.ask("cts 1")
    r.expect_runs("fire script after CTS rose", [("fire", "alarm")], settle=1.0)
    fields = r.runs()[0]
    if fields[2:5] != ["12", ALIAS, "CTS"] or "T" not in fields[5]:
        raise Failure(f"script environment: {fields}")
    r.wait_log("the log names the alarm", "event=alarm channel=fire line=CTS")
    r.wait_log("and how the script ended", "event=notification-ended channel=fire")


def settle_makes_one_alarm(r):
    """--settle 300: ten bounces of 40 ms make no alarm; the line then held high makes one."""
    r.service("--settle", "300")
    for _ in range(10):
        r.ask("dsr 1")
        time.sleep(0.04)
        r.ask("dsr 0")
        time.sleep(0.04)
    time.sleep(0.5)
    if r.runs():
        raise Failure(f"bounces made runs: {r.runs()}")
    r.ask("dsr 1")
    r.expect_runs("one flood alarm once the line held", [("flood", "alarm")], timeout=2.0, settle=0.8)


def notify_clear(r):
    """--notify-clear: back to NORMAL runs the script again, reason clear."""
    r.service("--notify-clear")
    r.ask("dcd 1")
    r.expect_runs("intrusion alarm", [("intrusion", "alarm")])
    r.ask("dcd 0")
    r.expect_runs("intrusion clear", [("intrusion", "alarm"), ("intrusion", "clear")])


def device_goes_and_comes_back(r):
    """Lost: Fault.sh lost; back: restored; a line that stayed high is not told twice, one that rose meanwhile once."""
    r.service()
    r.ask("cts 1")
    r.expect_runs("fire alarm before the device goes", [("fire", "alarm")])
    r.ask("vanish 1")
    r.expect_runs("Fault.sh lost", [("fire", "alarm"), ("device", "lost")])
    r.ask("dcd 1")
    time.sleep(2.5)  # more than one retry while away: logged once
    r.ask("vanish 0")
    r.expect_runs("restored, then the intrusion that rose meanwhile",
                  [("fire", "alarm"), ("device", "lost"), ("device", "restored"), ("intrusion", "alarm")],
                  timeout=4.0, settle=1.0)
    log = r.log()
    if log.count("event=device-lost") != 1 or log.count("event=error") != 1:
        raise Failure("the loss should be logged once, with one error")
    r.wait_log("device back logged", "event=device-back")


def sigterm_ends_in_order(r):
    """SIGTERM with DTR and RTS held: exit 0, outputs low (even with -hupcl), lock gone."""
    if r.ask("hupcl 0") != "ok":
        raise Failure("could not clear HUPCL")
    r.service("--dtr", "--rts")
    wait_for("outputs high", lambda: (r.ask("dtr?") == "1" and r.ask("rts?") == "1", "DTR or RTS low"))
    if not os.path.exists(LOCK):
        raise Failure(f"no lock file {LOCK} while running")
    status = r.terminate()
    if status != 0:
        raise Failure(f"SIGTERM: exit status {status}")
    if (r.ask("dtr?"), r.ask("rts?")) != ("0", "0"):
        raise Failure("outputs still high after SIGTERM")
    if os.path.exists(LOCK):
        raise Failure("the lock file outlived the service")
    if "event=stop signal=15" not in r.log():
        raise Failure("no stop in the log")


def tells_systemd(r):
    """Under systemd: READY=1 once watching, WATCHDOG=1 from the tick, STOPPING=1 on SIGTERM."""
    import socket
    path = os.path.join(r.work, "notify.sock")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(0.2)
    r.env.update(NOTIFY_SOCKET=path, WATCHDOG_USEC="2000000", JOURNAL_STREAM="8:1234")
    r.service()
    got = []
    end = time.monotonic() + 3
    while time.monotonic() < end:
        try:
            got.append(sock.recv(4096).decode())
        except socket.timeout:
            pass
    r.terminate()
    try:
        while True:
            got.append(sock.recv(4096).decode())
    except socket.timeout:
        pass
    sock.close()
    if not got or not got[0].startswith("READY=1"):
        raise Failure(f"first message to systemd: {got[:1]}")
    feeds = got.count("WATCHDOG=1")
    # Fed at most every quarter of the 2 s: about 6 in 3 s, not at every tick.
    if not 3 <= feeds <= 10:
        raise Failure(f"{feeds} watchdog feeds in 3 s")
    if "STOPPING=1" not in got:
        raise Failure("no STOPPING=1 on SIGTERM")
    # With JOURNAL_STREAM set, lines carry their syslog priority.
    if "<5>" not in r.log() or "<6>" not in r.log():
        raise Failure("no syslog priorities under systemd")


def command_lines(r):
    """--help and --version without a display; bad options and ports exit 2."""
    bare = {k: v for k, v in r.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    cases = [
        (r.args.app, ["--help"], 0, "Usage: rs232-phone-home"),
        (r.args.app, ["--version"], 0, "rs232-phone-home "),
        (r.args.app, ["--port", "16"], 2, "bad port"),
        (r.args.service, ["--help"], 0, "Usage: rs232-phone-homed"),
        (r.args.service, ["--version"], 0, "rs232-phone-homed "),
        (r.args.service, [], 2, "--port is required"),
        (r.args.service, ["--port", "0"], 2, "bad port"),
        (r.args.service, ["--port", "3", "--frobnicate"], 2, "frobnicate"),
        (r.args.service, ["--port", "3", "--settle", "soon"], 2, "--settle"),
    ]
    for program, options, status, text in cases:
        done = subprocess.run([program, *options], env=bare, capture_output=True, text=True, timeout=20)
        if done.returncode != status or text not in done.stdout + done.stderr:
            raise Failure(f"{os.path.basename(program)} {options}: status {done.returncode}, "
                          f"output {(done.stdout + done.stderr)[:300]!r}")


def window_options(r):
    """The window with --port 12 --open --notify --dtr starts armed and watching."""
    env = dict(r.env, QT_QPA_PLATFORM="offscreen")
    # The window runs the installed script folder: only its log is looked at here.
    r.start(r.args.app, "--port", "12", "--open", "--notify", "--dtr", env=env)
    r.wait_log("the window opened the port", "event=opened", timeout=10)
    r.wait_log("notifications armed", "event=notifications state=armed")
    wait_for("DTR ticked", lambda: (r.ask("dtr?") == "1", "DTR low"))
    if r.terminate() != 0:
        raise Failure("SIGTERM should end the window with status 0")


def unit_verifies(r):
    """The service unit and the unit that tries a script pass systemd-analyze verify."""
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        raise Failure("systemd-analyze is missing (Debian package systemd)")
    unit_dir = os.path.join(r.work, "units")
    os.mkdir(unit_dir)
    for template in ("rs232-phone-homed@.service", "rs232-phone-home-test@.service"):
        with open(os.path.join(r.args.unit_dir, template + ".in")) as f:
            text = f.read().replace("@SBINDIR@", os.path.dirname(r.args.service))
        with open(os.path.join(unit_dir, template), "w") as f:
            f.write(text)
    for unit in ("rs232-phone-homed@3.service", "rs232-phone-home-test@Fire.service"):
        done = subprocess.run([analyze, "verify", "--man=no", os.path.join(unit_dir, unit)],
                              capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, SYSTEMD_UNIT_PATH=unit_dir + ":"))
        problems = [line for line in (done.stdout + done.stderr).splitlines() if "rs232-phone-home" in line]
        if done.returncode != 0 or problems:
            raise Failure(f"systemd-analyze verify {unit}: status {done.returncode}: "
                          f"{problems or done.stderr[-500:]}")


GROUPS = [alarm_runs_script_once, settle_makes_one_alarm, notify_clear, device_goes_and_comes_back,
          sigterm_ends_in_order, tells_systemd, command_lines, window_options, unit_verifies]


def run_groups(groups, only, make, name):
    """Runs each group on a fresh setup from make(group); prints one line a group and the totals."""
    passed = failed = 0
    for group in groups:
        if only and group.__name__ not in only:
            continue
        setup = None
        t0 = time.monotonic()
        try:
            setup = make(group)
            group(setup)
            passed += 1
            print(f"PASS {group.__name__} ({time.monotonic() - t0:.1f} s)", flush=True)
            setup.stop(False)
        except Exception as e:
            failed += 1
            print(f"FAIL {group.__name__}: {e}", flush=True)
            if not isinstance(e, Failure):
                traceback.print_exc()
            if setup:
                setup.stop(True)
    print(f"{name}: {passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("service", "app", "ctl", "preload", "unit-dir"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--only", action="append")
    args = parser.parse_args()
    return run_groups(GROUPS, args.only, lambda group: Run(args, group.__name__), "service")


if __name__ == "__main__":
    sys.exit(main())
