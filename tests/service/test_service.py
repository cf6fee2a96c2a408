#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The service rs232-phone-homed, and the window's start-up options, as real
processes on a virtual serial device (tests/vserial), with notification
scripts of the test's own that write one marker line per run.

Each group gets a fresh device named /dev/com12 and a fresh script folder.
Standard library only; prints "N passed, N failed" at the end.
"""

import argparse
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import traceback
from datetime import datetime

ALIAS = "/dev/com12"
LOCK = "/var/lock/LCK..com12"
MARKER = '''#!/bin/sh
echo "$PHONE_HOME_CHANNEL $PHONE_HOME_REASON $PHONE_HOME_PORT $PHONE_HOME_DEVICE $PHONE_HOME_LINE $PHONE_HOME_TIME" >> "%s"
'''
SCRIPTS = ["Fire.sh", "Flood.sh", "Intruder.sh", "Fault.sh"]


class Failure(Exception):
    pass


class CannotJudge(Exception):
    """The machine was too busy to make the situation the group needs (a bounce
    held longer than the settle time): the group is tried again, and at last
    reported as not judged rather than passed or failed."""


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

    def __init__(self, args, name, alias=ALIAS, prefix="svc"):
        self.args = args
        self.work = tempfile.mkdtemp(prefix=f"{prefix}-{name}-")
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
        # Pending notifications of the test's own, never the machine's.
        self.state = os.path.join(self.work, "state")
        self.env = dict(os.environ, LD_PRELOAD=args.preload, VSERIAL_DEVICES=devices, LANG="C.UTF-8",
                        XDG_STATE_HOME=os.path.join(self.work, "xdg-state"))
        self.ctl = subprocess.Popen([args.ctl, devices] + ([alias] if alias else []), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    text=True, env=self.env)
        ready = self.ctl.stdout.readline().split()
        if not ready or ready[0] != "ready":
            raise Failure("the virtual device did not start")
        self.device_dir = ready[1]
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
        state = [] if "--state-dir" in options else ["--state-dir", self.state]
        self.start(self.args.service, "--port", "12", "--script-dir", self.scripts, *state, *options)
        self.wait_log("the port is opened", "event=opened")

    def script(self, name, body):
        """A script of the test's own: body after a line that records its run
        (channel reason attempt event-time start-time)."""
        path = os.path.join(self.scripts, name)
        with open(path, "w") as f:
            f.write(f'echo "$PHONE_HOME_CHANNEL $PHONE_HOME_REASON $PHONE_HOME_ATTEMPT $PHONE_HOME_TIME '
                    f'$(date +%s.%N)" >> "{self.markers}"\n{body}\n')
        os.chmod(path, 0o644)

    def attempts(self, what, count, timeout):
        """(channel, reason, attempt, event time, start time) of the first count runs."""
        wait_for(what, lambda: (len(self.runs()) >= count, f"runs {self.runs()}"), timeout)
        return [(r[0], r[1], int(r[2]), r[3], float(r[4])) for r in self.runs()]

    def log(self):
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, what, text, count=1, timeout=5.0):
        wait_for(what, lambda: (self.log().count(text) >= count, self.log()[-600:]), timeout)

    def runs(self):
        if not os.path.exists(self.markers):
            return []
        with open(self.markers) as f:
            return [line.split() for line in f if line.strip()]

    def expect_runs(self, what, expected, timeout=3.0, settle=0.6, ordered=True):
        """(channel, reason) of every run so far, in order, and no more after settle s.
        Two scripts started a moment apart may write in either order: unordered, only
        which ran counts (the log's notification events tell the order they started)."""
        def probe():
            got = [tuple(r[:2]) for r in self.runs()]
            same = got == expected if ordered else sorted(got) == sorted(expected)
            return same, f"runs {got}, expected {expected}"
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

    def kill_hard(self):
        """kill -9, then what the kernel would do at a real port's last close."""
        self.proc.kill()
        self.proc.wait()
        # A real port forgets its exclusive flag at the last close; the pty stays
        # alive under the virtual device, so root clears it for the dead program.
        fd = os.open(os.path.join(self.device_dir, "tty"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.ioctl(fd, termios.TIOCNXCL)
        os.close(fd)

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


SETTLE_S = 0.3


def logged_time(r, event):
    """The wall-clock time the program logged the first such event at."""
    for line in r.log().splitlines():
        if f"event={event}" in line:
            return datetime.fromisoformat(line.split()[0]).timestamp()
    raise Failure(f"no {event} in the log")


def settle_makes_one_alarm(r):
    """--settle 300: a bounce as the port opens and ten bounces of 40 ms make no
    alarm; the line then held high makes one."""
    r.ask("dsr 1")  # a contact that flickers as the port opens
    r.service("--settle", str(int(SETTLE_S * 1000)))
    time.sleep(0.12)  # a tick reads it high
    r.ask("dsr 0")
    # The service cannot have seen it high for longer than since it opened.
    longest = time.time() - logged_time(r, "opened")
    for _ in range(10):
        t0 = time.monotonic()
        r.ask("dsr 1")
        time.sleep(0.04)
        r.ask("dsr 0")
        longest = max(longest, time.monotonic() - t0)
        time.sleep(0.04)
    if longest >= SETTLE_S:
        raise CannotJudge(f"a bounce lasted {longest * 1000:.0f} ms on this busy machine, "
                          f"not less than the settle time of {SETTLE_S * 1000:.0f} ms")
    time.sleep(0.5)
    if r.runs():
        raise Failure(f"bounces made runs: {r.runs()}")
    r.ask("dsr 1")
    r.expect_runs("one flood alarm once the line held", [("flood", "alarm")], timeout=2.0, settle=0.8)


def settle_high_from_start(r):
    """--settle 300: a line steadily high from the start alarms, once it held."""
    r.ask("cts 1")
    r.service("--settle", str(int(SETTLE_S * 1000)))
    r.expect_runs("fire alarm for a line high from the start", [("fire", "alarm")])
    held = logged_time(r, "alarm") - logged_time(r, "opened")
    # The log keeps milliseconds, and the open is logged just after the first reading.
    if held < SETTLE_S - 0.01:
        raise Failure(f"alarm {held * 1000:.0f} ms after opening, before the line held {SETTLE_S * 1000:.0f} ms")


def contact_fed_from_dtr(r):
    """--dtr, a closed contact from DTR to DSR: one alarm at start, and none again
    (no NORMAL, no clear, no second alarm) when the device goes and comes back."""
    r.ask("contact dsr 1")
    r.service("--dtr", "--notify-clear")
    r.expect_runs("one flood alarm", [("flood", "alarm")])
    r.ask("vanish 1")
    r.expect_runs("Fault.sh lost", [("flood", "alarm"), ("device", "lost")])
    time.sleep(0.5)
    r.ask("vanish 0")
    r.expect_runs("restored and nothing else", [("flood", "alarm"), ("device", "lost"), ("device", "restored")],
                  timeout=4.0, settle=1.0)
    if "event=normal" in r.log():
        raise Failure("the fed contact read NORMAL on its way back")


def retried_until_delivered(r):
    """A script that fails twice runs three times, after 1 and 3 s (--retry-base 1), then never again.
    It succeeds only when told the state folder, where scripts keep their markers."""
    r.script("Fire.sh", f'[ "$PHONE_HOME_ATTEMPT" -ge 3 ] && [ "$PHONE_HOME_STATE_DIR" = "{r.state}" ]')
    r.service("--retry-base", "1")
    r.ask("cts 1")
    runs = r.attempts("three attempts", 3, timeout=8.0)
    if [(c, why, n) for c, why, n, _, _ in runs] != [("fire", "alarm", n) for n in (1, 2, 3)]:
        raise Failure(f"attempts: {runs}")
    if len({t for _, _, _, t, _ in runs}) != 1:
        raise Failure(f"PHONE_HOME_TIME should stay the event's: {runs}")
    gaps = [runs[1][4] - runs[0][4], runs[2][4] - runs[1][4]]
    # Qt's coarse timers may fire up to 5 % early.
    if not (0.9 <= gaps[0] < 2.5 and 2.8 <= gaps[1] < 4.5):
        raise Failure(f"retries after {gaps[0]:.2f} s and {gaps[1]:.2f} s, not 1 s and 3 s")
    time.sleep(1.5)
    if len(r.runs()) != 3 or r.log().count("event=notification-retry") != 2:
        raise Failure(f"more after the delivery: {r.runs()}")


def restart_resumes(r):
    """kill -9 between two attempts; a restart on the same state folder resumes with the next attempt, once."""
    r.script("Fire.sh", 'exit 1')
    r.service("--retry-base", "30")
    r.ask("cts 1")
    r.wait_log("a retry is pending", "event=notification-retry")
    r.kill_hard()
    spool = [name for name in os.listdir(r.state) if name.endswith(".json")]
    if len(spool) != 1:
        raise Failure(f"spool after kill -9: {os.listdir(r.state)}")
    r.ask("cts 0")
    r.script("Fire.sh", 'exit 0')
    r.service("--retry-base", "30")
    runs = r.attempts("the resumed attempt", 2, timeout=3.0)
    if [(c, why, n) for c, why, n, _, _ in runs] != [("fire", "alarm", 1), ("fire", "alarm", 2)] \
            or runs[0][3] != runs[1][3]:
        raise Failure(f"runs: {runs}")
    wait_for("the spool emptied", lambda: (not [n for n in os.listdir(r.state) if n.endswith(".json")],
                                           os.listdir(r.state)))
    time.sleep(1.0)
    if len(r.runs()) != 2:
        raise Failure(f"ran again: {r.runs()}")


def hung_script_ended(r):
    """--script-timeout 1: a hung script and what it started are ended at 1 s and retried."""
    r.script("Fire.sh", '[ "$PHONE_HOME_ATTEMPT" -ge 2 ] && exit 0\nsleep 30.25 & wait')
    r.service("--retry-base", "1", "--script-timeout", "1")
    r.ask("cts 1")
    runs = r.attempts("the retry after the timeout", 2, timeout=6.0)
    if runs[1][4] - runs[0][4] < 1.9:
        raise Failure(f"retried {runs[1][4] - runs[0][4]:.2f} s after the start, before the timeout and the pause")
    r.wait_log("the timeout is told", "no end after 1 s")
    stray = subprocess.run(["pgrep", "-f", "sleep 30.25"], capture_output=True, text=True).stdout.split()
    if stray:
        raise Failure(f"the hung script's child still runs: {stray}")


def unreadable_spool_told(r):
    """Entries a power cut left empty or cut short are told by their names; only a
    file whose name says nothing is set aside. Alarms still go out."""
    os.mkdir(r.state, 0o700)
    entries = {"0000000000001-fire-alarm.json": "", "0000000000002-flood-alarm.json": '{"format":1,"chann',
               "0000000000003-what.json": "{}"}
    for name, text in entries.items():
        with open(os.path.join(r.state, name), "w") as f:
            f.write(text)
    r.service()
    r.expect_runs("both told from their names", [("fire", "alarm"), ("flood", "alarm")], ordered=False)
    r.wait_log("each warning names the entry", "from its name", count=2)
    r.wait_log("the nameless one set aside", "set aside")
    left = sorted(name for name in os.listdir(r.state) if ".json" in name)
    if left != ["0000000000003-what.json.bad"]:
        raise Failure(f"spool after delivery: {left}")
    r.ask("dcd 1")
    r.expect_runs("intrusion alarm", [("fire", "alarm"), ("flood", "alarm"), ("intrusion", "alarm")], ordered=False)


def no_state_folder(r):
    """A state folder that cannot be made gives a warning at start; alarms still go out."""
    blocker = os.path.join(r.work, "a-file")
    open(blocker, "w").close()
    r.service("--state-dir", os.path.join(blocker, "state"))
    r.wait_log("the warning", "cannot be kept across a restart")
    r.ask("dcd 1")
    r.expect_runs("intrusion alarm", [("intrusion", "alarm")])


def heartbeat_on_time(r):
    """--heartbeat 2s: Heartbeat.sh every 2 s from start, with a summary of the panel."""
    r.script("Fire.sh", 'true')
    r.script("Heartbeat.sh", 'echo "$PHONE_HOME_LINES|$PHONE_HOME_IN_ALARM|$PHONE_HOME_ALARMS" >> "$0.summary"')
    r.ask("cts 1")
    r.service("--heartbeat", "2s")
    runs = r.attempts("two heartbeats", 3, timeout=8.0)
    beats = [run for run in runs if run[:2] == ("heartbeat", "heartbeat")]
    if len(beats) < 2 or not 1.5 <= beats[1][4] - beats[0][4] <= 2.8:
        raise Failure(f"heartbeats: {runs}")
    with open(os.path.join(r.scripts, "Heartbeat.sh.summary")) as f:
        first = f.readline().strip()
    if first != "CTS=high DSR=low DCD=low|fire|1":
        raise Failure(f"summary: {first!r}")


def port_that_is_no_device(r):
    """--port /etc/passwd: the log says the path is no serial device."""
    r.start(r.args.service, "--port", "/etc/passwd", "--script-dir", r.scripts)
    r.wait_log("the refusal", "is a regular file, not a serial device")


def notify_clear(r):
    """--notify-clear: back to NORMAL runs the script again, reason clear."""
    r.service("--notify-clear")
    r.ask("dcd 1")
    r.expect_runs("intrusion alarm", [("intrusion", "alarm")])
    r.ask("dcd 0")
    r.expect_runs("intrusion clear", [("intrusion", "alarm"), ("intrusion", "clear")])


def pulse_between_readings(r):
    """Edges only the driver's counters saw (a pulse that came and went before any
    read) make one alarm per pulse and a return to NORMAL; the log says how the
    port is watched and counts the edges."""
    r.service("--notify-clear")
    r.wait_log("watched by edges", "event=watch mode=wait+count")
    r.ask("pulse dsr 0")
    # The clear starts a moment after the alarm: their markers may come in either order.
    r.expect_runs("one flood alarm and its clear", [("flood", "alarm"), ("flood", "clear")], ordered=False)
    # Read mid-pulse, the two edges are two line changes; read after it, one
    # pulse of two counted edges.
    log = r.log()
    if "event=pulse channel=flood line=DSR edges=2" not in log and log.count("event=line line=DSR") < 2:
        raise Failure("the pulse's edges are not in the log")
    r.ask("pulses cts 3 20 150")
    r.expect_runs("three 20 ms fire pulses", [("flood", "alarm"), ("flood", "clear")]
                  + [("fire", "alarm"), ("fire", "clear")] * 3, timeout=4.0, ordered=False)
    started = re.findall(r"event=notification channel=(\S+) reason=(\S+)", r.log())
    if started != [("flood", "alarm"), ("flood", "clear")] + [("fire", "alarm"), ("fire", "clear")] * 3:
        raise Failure(f"started in this order: {started}")


def fallbacks(r):
    """A driver without edge counters is waited on; one that cannot wait is
    polled. Each is logged once, and alarms still run their scripts."""
    for driver, mode, line, channel in (("wait", "wait", "dcd", "intrusion"), ("none", "poll", "cts", "fire")):
        r.ask(f"driver {driver}")
        r.service()
        r.wait_log(f"watched by {mode}", f"event=watch mode={mode}")
        r.ask(f"{line} 1")
        r.expect_runs(f"{channel} alarm", [(channel, "alarm")])
        if r.log().count("event=watch ") != 1:
            raise Failure("the way the port is watched should be logged once")
        r.terminate()
        r.ask(f"{line} 0")
        os.remove(r.markers)


def normally_closed(r):
    """--normally-closed flood,intrusion: a low DSR (a cut wire) is the alarm, a
    high one NORMAL; DCD high at rest stays quiet; fire keeps its sense."""
    r.ask("dcd 1")
    r.service("--normally-closed", "flood,intrusion", "--notify-clear")
    r.expect_runs("flood alarm for the open contact", [("flood", "alarm")])
    r.ask("dsr 1")
    r.expect_runs("flood clear once closed", [("flood", "alarm"), ("flood", "clear")])
    r.ask("cts 1")
    r.expect_runs("fire alarm as before", [("flood", "alarm"), ("flood", "clear"), ("fire", "alarm")])
    r.ask("dcd 0")
    r.expect_runs("intrusion alarm on the cut", [("flood", "alarm"), ("flood", "clear"), ("fire", "alarm"),
                                                 ("intrusion", "alarm")])
    r.wait_log("the log keeps the raw level", "event=line line=DCD level=low")


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
    r.expect_runs("restored, and the intrusion that rose meanwhile",
                  [("fire", "alarm"), ("device", "lost"), ("device", "restored"), ("intrusion", "alarm")],
                  timeout=4.0, settle=1.0, ordered=False)
    log = r.log()
    started = re.findall(r"event=notification channel=(\S+) reason=(\S+)", log)
    if started[-2:] != [("device", "restored"), ("intrusion", "alarm")]:
        raise Failure(f"restored should start before the intrusion's alarm: {started}")
    if log.count("event=device-lost") != 1 or log.count("event=error") != 1:
        raise Failure("the loss should be logged once, with one error")
    r.wait_log("device back logged", "event=device-back")


def panel_delays_and_restart(r):
    """First start armed_away; an intrusion waits out the entry delay, then triggers once and
    re-arms as the door closes; a kill -9 keeps the state; a disarmed panel sees an intrusion
    but tells nobody, while fire, armed around the clock, still phones home."""
    r.service("--entry-delay", "1s")
    r.wait_log("armed at the first start", "event=panel state=armed_away by=start")
    r.ask("dcd 1")
    r.wait_log("the entry delay runs", "event=panel state=pending by=line")
    time.sleep(0.5)
    if r.runs():
        raise Failure(f"told within the entry delay: {r.runs()}")
    r.wait_log("triggered", "event=panel state=triggered by=timer", timeout=3)
    r.expect_runs("Intruder.sh once", [("intrusion", "alarm")])
    r.ask("dcd 0")
    r.wait_log("armed again once the door closed", "event=panel state=armed_away by=line")
    r.kill_hard()
    with open(os.path.join(r.state, "arming.state")) as f:
        if json.load(f).get("state") != "armed_away":
            raise Failure("the kept state is not armed_away")

    with open(os.path.join(r.state, "arming.state"), "w") as f:
        json.dump({"format": 1, "state": "disarmed", "channels": []}, f)
    os.remove(r.markers)
    r.service("--entry-delay", "1s")
    r.wait_log("restored disarmed", "event=panel state=disarmed by=start")
    r.ask("dcd 1")
    r.wait_log("the intrusion is seen", "event=alarm channel=intrusion")
    r.ask("cts 1")
    r.expect_runs("fire alone is told", [("fire", "alarm")], settle=1.5)


def triggered_restored_door_closed(r):
    """A panel restored as triggered whose door closed while it was off is armed again at the
    first reading, and the next opening of the door is told."""
    os.mkdir(r.state, 0o700)
    with open(os.path.join(r.state, "arming.state"), "w") as f:
        json.dump({"format": 1, "state": "triggered", "channels": ["intrusion"]}, f)
    r.service()
    r.wait_log("restored triggered", "event=panel state=triggered by=start")
    r.wait_log("armed again: DCD reads low", "event=panel state=armed_away by=line")
    r.ask("dcd 1")
    r.expect_runs("the next intrusion is told", [("intrusion", "alarm")])


def disarm_within_entry_delay(r):
    """At the machine: a wrong code is refused and logged without the code; the right one
    within the entry delay disarms, and nothing is sent; arming needs no code."""
    code = os.path.join(r.work, "code")
    with open(code, "w") as f:
        f.write("004711\n")
    os.chmod(code, 0o600)
    socket_path = os.path.join(r.work, "control")
    r.service("--entry-delay", "2s", "--code-file", code, "--control-socket", socket_path)

    def panel(command, code_line=None):
        done = subprocess.run([r.args.service, "--control-socket", socket_path, "--panel", command],
                              input=code_line, capture_output=True, text=True, env=r.env, timeout=10)
        return done.returncode, (done.stdout + done.stderr).strip()

    r.ask("dcd 1")
    r.wait_log("the entry delay runs", "event=panel state=pending by=line")
    status, said = panel("disarm", "4711\n")
    if status != 1 or "wrong-code" not in said:
        raise Failure(f"a wrong code: status {status}, {said!r}")
    if panel("disarm", "004711\n") != (0, "disarmed"):
        raise Failure("the right code did not disarm")
    r.wait_log("disarmed at the machine", "event=panel state=disarmed by=local")
    time.sleep(2.5)
    if r.runs() or "4711" in r.log():
        raise Failure(f"runs {r.runs()}, or the code in the log")
    r.ask("dcd 0")
    if panel("arm") != (0, "armed_away"):
        raise Failure("arming without a code")


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
    r.ask("cts 1")
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
    # Fed from the tick, once a second while the lines are watched, and at
    # most every quarter of the 2 s: 2 to 6 in 3 s, not at every tick.
    if not 2 <= feeds <= 10:
        raise Failure(f"{feeds} watchdog feeds in 3 s")
    if "STOPPING=1" not in got:
        raise Failure("no STOPPING=1 on SIGTERM")
    # With JOURNAL_STREAM set, lines carry their syslog priority.
    if "<5>" not in r.log() or "<6>" not in r.log():
        raise Failure("no syslog priorities under systemd")
    # An alarm's record is crit, which journald writes to disk at once.
    alarms = [line for line in r.log().splitlines() if " event=alarm " in line]
    if not alarms or not all(line.startswith("<2>") for line in alarms):
        raise Failure(f"alarm records under systemd: {alarms}")


def command_lines(r):
    """--help and --version without a display; bad options and ports exit 2."""
    bare = {k: v for k, v in r.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    bare["PHONE_HOME_MQTT_PASSWORD"] = "secret"
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
        (r.args.service, ["--port", "3", "--normally-closed", "fire,smoke"], 2, "channel \"smoke\""),
        (r.args.app, ["--normally-closed", "Fire"], 2, "channel \"Fire\""),
        (r.args.service, ["--port", "3", "--always-armed", "fire,door"], 2, "door"),
        (r.args.service, ["--port", "3", "--entry-delay", "soon"], 2, "--entry-delay"),
        # Commands from a broker only where the panel can check a code; never to the window.
        (r.args.service, ["--port", "3", "--mqtt", "mqtt://panel@127.0.0.1", "--mqtt-control"], 2,
         "--mqtt-control needs --code-file"),
        (r.args.app, ["--mqtt", "mqtt://panel@127.0.0.1", "--mqtt-control"], 2, "--mqtt-control is for the service"),
    ]
    # The code file is refused naming the file, and never shows the code.
    for name, content in [("short", "123\n"), ("letter", "12a4\n"), ("long", "1234567890123\n")]:
        path = os.path.join(r.work, f"code-{name}")
        with open(path, "w") as f:
            f.write(content)
        os.chmod(path, 0o600)
        cases.append((r.args.service, ["--port", "3", "--code-file", path], 2, path))
    cases.append((r.args.service, ["--port", "3", "--code-file", r.work], 2, r.work))
    for program, options, status, text in cases:
        done = subprocess.run([program, *options], env=bare, capture_output=True, text=True, timeout=20)
        if done.returncode != status or text not in done.stdout + done.stderr or "12a4" in done.stderr:
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
        # After a power cut the router boots too: the contacts are watched without waiting for it.
        if template.startswith("rs232-phone-homed@") and "network-online" in text:
            raise Failure("the service's unit waits for network-online.target")
    for unit in ("rs232-phone-homed@3.service", "rs232-phone-home-test@Fire.service"):
        done = subprocess.run([analyze, "verify", "--man=no", os.path.join(unit_dir, unit)],
                              capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, SYSTEMD_UNIT_PATH=unit_dir + ":"))
        problems = [line for line in (done.stdout + done.stderr).splitlines() if "rs232-phone-home" in line]
        if done.returncode != 0 or problems:
            raise Failure(f"systemd-analyze verify {unit}: status {done.returncode}: "
                          f"{problems or done.stderr[-500:]}")


GROUPS = [alarm_runs_script_once, settle_makes_one_alarm, settle_high_from_start, contact_fed_from_dtr,
          port_that_is_no_device, retried_until_delivered, restart_resumes, hung_script_ended, unreadable_spool_told,
          no_state_folder, heartbeat_on_time, notify_clear, pulse_between_readings, fallbacks, normally_closed,
          device_goes_and_comes_back, panel_delays_and_restart, triggered_restored_door_closed,
          disarm_within_entry_delay,
          sigterm_ends_in_order, tells_systemd, command_lines, window_options, unit_verifies]


ATTEMPTS = 3


def run_groups(groups, only, make, name):
    """Runs each group on a fresh setup from make(group); prints one line a group and the totals."""
    passed = failed = 0
    for group in groups:
        if only and group.__name__ not in only:
            continue
        for attempt in range(1, ATTEMPTS + 1):
            setup = None
            t0 = time.monotonic()
            try:
                setup = make(group)
                group(setup)
                passed += 1
                print(f"PASS {group.__name__} ({time.monotonic() - t0:.1f} s)", flush=True)
                setup.stop(False)
            except CannotJudge as e:
                if setup:
                    setup.stop(False)
                if attempt < ATTEMPTS:
                    print(f"AGAIN {group.__name__}: {e}", flush=True)
                    continue
                print(f"NOT JUDGED {group.__name__}: {e}", flush=True)
            except Exception as e:
                failed += 1
                print(f"FAIL {group.__name__}: {e}", flush=True)
                if not isinstance(e, Failure):
                    traceback.print_exc()
                if setup:
                    setup.stop(True)
            break
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
