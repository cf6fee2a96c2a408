#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The example scripts' second path: Debian's gammu against a fake modem on a
pseudo-terminal of the test's own, with the internet path (Apprise to an
endpoint of the test's own) up or failing. What the modem is told, what the
script's exit status says, and the words on stderr when the modem is at fault.
Standard library only; prints "N passed, N failed"."""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

# No compiled files in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fake_modem import FakeModem  # noqa: E402
from test_examples import ALARM, BEAT, Endpoint  # noqa: E402

GSM_TIMEOUT = 15
NUMBERS = "+491701234567 +491707654321"


class Bench:
    """The example scripts in a folder of their own, mail off, with a modem and a state folder."""

    def __init__(self, examples, scenario, subject=None):
        self.work = tempfile.mkdtemp(prefix="gsm-")
        for name in os.listdir(examples):
            if name.endswith(".sh"):
                with open(os.path.join(examples, name)) as f:
                    text = f.read().replace('TO="alarm@example.com"', 'TO=""')
                if subject:
                    text = text.replace('SUBJECT="SMOKE or FIRE DETECTED"', f'SUBJECT="{subject}"')
                with open(os.path.join(self.work, name), "w") as f:
                    f.write(text)
        self.state = os.path.join(self.work, "state")
        os.mkdir(self.state)
        self.modem = FakeModem(scenario) if scenario else None
        self.device = self.modem.device if self.modem else os.path.join(self.work, "no-modem")

    def run(self, script, env, internet=None, **settings):
        """(exit status, stderr, seconds); internet: the endpoint's answer, or None for no internet path."""
        endpoint = Endpoint(internet) if internet else None
        environment = dict(os.environ, **env, PHONE_HOME_STATE_DIR=self.state, GSM_DEVICE=self.device,
                           GSM_TIMEOUT=str(GSM_TIMEOUT), GSM_LOCK=os.path.join(self.work, "gsm.lock"),
                           APPRISE_URLS=endpoint.url() if endpoint else "", **settings)
        start = time.monotonic()
        try:
            done = subprocess.run(["sh", os.path.join(self.work, script)], env=environment, cwd=self.work,
                                  capture_output=True, text=True, timeout=GSM_TIMEOUT * 6)
        finally:
            if endpoint:
                endpoint.stop()
        return done.returncode, done.stderr, time.monotonic() - start

    def close(self):
        if self.modem:
            self.modem.close()
        shutil.rmtree(self.work, ignore_errors=True)


def attempt(n):
    return dict(ALARM, PHONE_HOME_ATTEMPT=str(n))


def internet_up(examples):
    """With the internet path delivering, the modem is left alone."""
    b = Bench(examples, "ok")
    try:
        status, err, _ = b.run("Fire.sh", attempt(1), internet=200, SMS_TO=NUMBERS, CALL_TO=NUMBERS)
        if status != 0 or b.modem.messages or b.modem.dialled:
            return f"exit {status}, SMS {b.modem.messages}, calls {b.modem.dialled}, stderr {err[-300:]!r}"
    finally:
        b.close()


def internet_down(examples):
    """Attempt 1 only tries the internet; attempt 2 sends each number one SMS and rings each once and
    still fails; attempts 3 and 4 repeat nothing; the internet back makes the next attempt succeed."""
    b = Bench(examples, "ok")
    host = socket.gethostname()
    try:
        expected = [(1, 500, False, 0, 0), (2, 500, False, 2, 1), (3, 500, False, 2, 1), (4, 500, False, 2, 1),
                    (5, 200, True, 2, 1)]
        for n, answer, ok, sms, calls in expected:
            status, err, _ = b.run("Fire.sh", attempt(n), internet=answer, SMS_TO=NUMBERS,
                                   CALL_TO="+491709999999", CALL_SECONDS="1")
            got = (status == 0, len(b.modem.messages), len(b.modem.dialled), b.modem.hung_up)
            if got != (ok, sms, calls, calls):
                return f"attempt {n}: (exit 0, SMS, calls, hang-ups) {got}, not {(ok, sms, calls, calls)}: {err[-300:]!r}"
        numbers = sorted(number for number, _ in b.modem.messages)
        if numbers != sorted(n.lstrip("+") for n in NUMBERS.split()):
            return f"SMS went to {numbers}"
        text = b.modem.messages[0][1]
        missing = [w for w in ("SMOKE or FIRE DETECTED", "CTS high", "port 3", host, "2026-12-08T09:14:03")
                   if w not in text]
        if missing:
            return f"{missing} not in the SMS {text!r}"
        if b.modem.dialled != ["+491709999999"]:
            return f"dialled {b.modem.dialled}"
    finally:
        b.close()


def modem_only(examples):
    """Without an internet path the SMS alone decides, from the first attempt; a long text is cut to one SMS."""
    b = Bench(examples, "ok", subject="FIRE in the Küche " + "and the hall " * 20)
    try:
        status, err, _ = b.run("Fire.sh", attempt(1), SMS_TO="+491701234567")
        if status != 0 or len(b.modem.messages) != 1:
            return f"exit {status}, SMS {b.modem.messages}: {err[-300:]!r}"
        text = b.modem.messages[0][1]
        if len(text) > 160 or not text.endswith("...") or not text.startswith("FIRE in the Küche"):
            return f"not one SMS, shortened: {len(text)} characters {text!r}"
    finally:
        b.close()


def no_markers(examples):
    """A state folder that takes no markers (full, read-only) still lets the SMS go out, and says so."""
    b = Bench(examples, "ok")
    try:
        open(os.path.join(b.state, "gsm-sent"), "w").close()  # the markers' folder cannot be made
        status, err, _ = b.run("Fire.sh", attempt(1), SMS_TO=NUMBERS)
        if status != 0 or len(b.modem.messages) != 2 or "cannot be made" not in err:
            return f"exit {status}, SMS {b.modem.messages}: {err[-300:]!r}"
    finally:
        b.close()


# (scenario, words on stderr); None: no modem at GSM_DEVICE
FAULTS = [
    ("unregistered", "not registered"),
    ("nosim", "no SIM"),
    ("pin", "PIN"),
    ("refused", "+CMS ERROR 38"),
    ("silent", "silent"),
    ("busy", "busy"),
    (None, "absent"),
]


def modem_fault(examples, scenario, words):
    """A modem fault fails the script within GSM_TIMEOUT and a little, naming the cause."""
    b = Bench(examples, scenario)
    try:
        status, err, seconds = b.run("Fire.sh", attempt(1), SMS_TO=NUMBERS)
        if status == 0 or words not in err or seconds > GSM_TIMEOUT + 10:
            return f"exit {status} after {seconds:.0f} s, stderr {err[-400:]!r}"
        if b.modem and b.modem.messages:
            return f"SMS taken: {b.modem.messages}"
    finally:
        b.close()


# (scenario, passes?, words on stderr)
HEARTBEATS = [
    ("ok", True, ""),
    ("roaming", True, ""),
    ("weak", False, "-109 dBm"),
    ("unregistered", False, "not registered"),
    ("nosim", False, "no SIM"),
    ("pin", False, "PIN"),
    ("silent", True, ""),  # silent only after a message: the check sends none
    ("busy", False, "busy"),
    (None, False, "absent"),
]


def heartbeat_check(examples, scenario, passes, words):
    """Heartbeat.sh proves the modem path: SIM, registration, signal."""
    b = Bench(examples, scenario)
    try:
        status, err, _ = b.run("Heartbeat.sh", BEAT, internet=200)
        if (status == 0) != passes or words not in err:
            return f"exit {status}, stderr {err[-400:]!r}"
        if b.modem and b.modem.messages:
            return f"an SMS without SMS_HEARTBEAT: {b.modem.messages}"
    finally:
        b.close()


def heartbeat_by_sms(examples):
    """SMS_HEARTBEAT=1 sends the heartbeat by SMS at the first attempt, once."""
    b = Bench(examples, "ok")
    try:
        for _ in range(2):
            status, err, _ = b.run("Heartbeat.sh", BEAT, internet=200, SMS_TO="+491701234567", SMS_HEARTBEAT="1")
        if status != 0 or len(b.modem.messages) != 1 or "ALARM PANEL ALIVE" not in b.modem.messages[0][1]:
            return f"exit {status}, SMS {b.modem.messages}: {err[-300:]!r}"
    finally:
        b.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--examples", required=True)
    args = parser.parse_args()
    missing = [p for p in ("gammu", "apprise") if not shutil.which(p)]
    if missing:
        print(f"FAIL not installed: {' '.join(missing)} (Debian packages of the same names)")
        return 1
    cases = [("internet path up: no SMS", internet_up, ()),
             ("internet path down: one SMS and one call per number, from attempt 2", internet_down, ()),
             ("modem only: the SMS decides, shortened to one", modem_only, ()),
             ("no markers: the SMS still goes out to every number", no_markers, ())]
    cases += [(f"modem fault {s or 'absent'}", modem_fault, (s, w)) for s, w in FAULTS]
    cases += [(f"heartbeat check {s or 'absent'}", heartbeat_check, (s, p, w)) for s, p, w in HEARTBEATS]
    cases += [("heartbeat by SMS", heartbeat_by_sms, ())]
    failed = 0
    for name, case, extra in cases:
        problem = case(args.examples, *extra)
        print(f"FAIL {name}: {problem}" if problem else f"PASS {name}", flush=True)
        failed += bool(problem)
    print(f"gsm: {len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
