#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The guest side of the systemd test (see run_systemd_test.py).

Runs as a unit of the booted guest, as root. Listens as the places the
example scripts were set to send to: an SMTP sink on port 2525 (msmtp's
server) and an HTTP listener on port 8080 (the push URL); postfix, started
from its own unit, delivers to /var/mail. Then tries each script through
rs232-phone-home-test@.service, starts rs232-phone-homed@2.service on
/dev/ttyS1 and raises its lines through the UART's loopback, and checks what
came out, then asks it through its control socket. Prints "QEMU-CHECK
PASS|FAIL name detail" per check and powers the guest off.
"""

import argparse
import grp
import http.server
import os
import re
import shutil
import socket
import socketserver
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_e2e import Failure, wait_for  # noqa: E402

MAILBOX = "/var/mail/alarm"
SERVICE = "rs232-phone-homed@2.service"


def report(result, name, detail=""):
    print(f"QEMU-CHECK {result} {name}{' ' + detail if detail else ''}", flush=True)


class Received:
    """What the listeners took in, one text per message or request."""

    def __init__(self):
        self.lock = threading.Lock()
        self.items = []

    def add(self, text):
        with self.lock:
            self.items.append(text)

    def holding(self, word):
        with self.lock:
            return [i for i in self.items if word in i]


MAIL = Received()
PUSHES = Received()


class SmtpSink(socketserver.StreamRequestHandler):
    """Just enough SMTP to take a message from msmtp."""

    def handle(self):
        def say(text):
            self.wfile.write(text.encode() + b"\r\n")
        say("220 sink ESMTP")
        lines = None
        for raw in self.rfile:
            line = raw.decode(errors="replace").rstrip("\r\n")
            if lines is not None:
                if line == ".":
                    MAIL.add("\n".join(lines))
                    lines = None
                    say("250 2.0.0 taken")
                else:
                    lines.append(line[1:] if line.startswith("..") else line)
                continue
            verb = line[:4].upper()
            if verb == "EHLO":
                say("250 sink")
            elif verb == "DATA":
                lines = []
                say("354 end with .")
            elif verb == "QUIT":
                say("221 bye")
                return
            else:
                say("250 ok")


class SilentServer(socketserver.BaseRequestHandler):
    """Takes the connection and never answers, as a hung mail server would."""

    def handle(self):
        time.sleep(60)


class PushListener(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode(errors="replace")
        PUSHES.add(f"{self.path} Title: {self.headers.get('Title')}\n{body}")
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def listen(server_class, port, handler):
    server_class.allow_reuse_address = True
    server = server_class(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def run(*args, timeout=60):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout)


def journal(*selectors):
    return run("journalctl", "--no-pager", "-o", "cat", *selectors).stdout


def mailbox():
    try:
        with open(MAILBOX, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def try_script(name):
    """Runs rs232-phone-home-test@NAME; its status and the unit's result."""
    t0 = time.monotonic()
    done = run("systemctl", "start", f"rs232-phone-home-test@{name}.service", timeout=180)
    took = time.monotonic() - t0
    result = run("systemctl", "show", "-P", "Result", f"rs232-phone-home-test@{name}.service").stdout.strip()
    return done.returncode, result, took


def expect_test_ok(name):
    status, result, took = try_script(name)
    if status != 0 or result != "success":
        raise Failure(f"systemctl start rs232-phone-home-test@{name}: status {status}, result {result}; "
                      f"journal: {journal('-u', f'rs232-phone-home-test@{name}.service')[-800:]!r}")
    return f"{took:.1f} s"


def setup(args):
    """Users from the sysusers.d files (as the package's postinst makes them) and postfix up."""
    done = run("systemd-sysusers")
    if done.returncode != 0:
        raise Failure(f"systemd-sysusers: {done.stderr.strip()}")
    listen(socketserver.ThreadingTCPServer, 2525, SmtpSink)
    listen(http.server.ThreadingHTTPServer, 8080, PushListener)
    listen(socketserver.ThreadingTCPServer, 2526, SilentServer)
    # Serial ports belong to group dialout on a Debian system, by udev's
    # default rules; where this machine has no udev, the test does the same.
    how = "udev"
    if shutil.which("udevadm"):
        run("udevadm", "trigger", "--action=add", "--subsystem-match=tty")
        run("udevadm", "settle", "--timeout=30", timeout=40)
    info = os.stat("/dev/ttyS1")
    if info.st_gid != grp.getgrnam("dialout").gr_gid or info.st_mode & 0o060 != 0o060:
        os.chown("/dev/ttyS1", 0, grp.getgrnam("dialout").gr_gid)
        os.chmod("/dev/ttyS1", 0o660)
        how = "by hand, as udev would"
    # COM3, the fake GSM modem, as udev gives a modem to dialout.
    os.chown("/dev/ttyS2", 0, grp.getgrnam("dialout").gr_gid)
    os.chmod("/dev/ttyS2", 0o660)
    # The panel's code as the guide has it: root's, readable by the service's group.
    os.chown(CODE_FILE, 0, grp.getgrnam("dialout").gr_gid)
    os.chmod(CODE_FILE, 0o640)
    done = run("systemctl", "start", "postfix@-.service", timeout=120)
    if done.returncode != 0:
        raise Failure(f"postfix did not start: {journal('-u', 'postfix@-.service')[-800:]!r}")

    def smtp_up():
        try:
            socket.create_connection(("127.0.0.1", 25), timeout=2).close()
            return True, "up"
        except OSError as e:
            return False, str(e)
    wait_for("postfix listens on port 25", smtp_up, 60)
    return f"/dev/ttyS1 to dialout {how}"


def test_unit_postfix(args):
    """rs232-phone-home-test@Fire: mail handed to postfix over SMTP under the sandbox, delivered to /var/mail."""
    took = expect_test_ok("Fire")
    wait_for("the TEST mail in " + MAILBOX,
             lambda: ("Subject: TEST: SMOKE or FIRE DETECTED" in mailbox(), mailbox()[-300:] or "no mailbox"), 60)
    return took


def test_unit_msmtp(args):
    """rs232-phone-home-test@Flood: mail through msmtp (MAIL_VIA=msmtp) reaches msmtp's server."""
    took = expect_test_ok("Flood")
    if not MAIL.holding("Subject: TEST: FLOODING DETECTED"):
        raise Failure(f"the SMTP sink got no TEST flood mail: {MAIL.items}")
    return took


def test_unit_push(args):
    """rs232-phone-home-test@Intruder: curl POSTs the alarm to the push URL."""
    took = expect_test_ok("Intruder")
    if not PUSHES.holding("Title: TEST: INTRUSION DETECTED"):
        raise Failure(f"no push with the TEST title: {PUSHES.items}")
    return took


def test_unit_failure_logged(args):
    """A push that cannot go out fails the test unit, and logger puts the reason in the journal."""
    status, result, took = try_script("Fault")
    if status == 0 or result != "exit-code":
        raise Failure(f"rs232-phone-home-test@Fault: status {status}, result {result}: a failed push must show")
    logged = journal("-t", "rs232-phone-home")
    if "the push to http://127.0.0.1:9/device failed" not in logged:
        raise Failure(f"journalctl -t rs232-phone-home lacks the failed push: {logged[-500:]!r}")
    return f"{took:.1f} s"


def test_unit_sendmail_refused(args):
    """postfix's own sendmail cannot hand mail over in the sandbox: the script says so and ends non-zero."""
    status, result, took = try_script("Sendmail")
    if status == 0:
        raise Failure("postfix's sendmail worked in the sandbox: the advice against it is stale")
    return f"{result} after {took:.1f} s"


def test_unit_mail_bounded(args):
    """A mail server that never answers costs MAIL_TIMEOUT, not a script that never ends."""
    status, result, took = try_script("Silent")
    if status == 0:
        raise Failure("a mail server that never answered took the mail")
    if took > 30:
        raise Failure(f"the script took {took:.0f} s with MAIL_TIMEOUT=5")
    return f"{result} after {took:.1f} s"


def test_unit_sms(args):
    """rs232-phone-home-test@Sms: gammu, as the service's user in its sandbox, sends an SMS through
    the fake modem on /dev/ttyS2 and takes its turn through the lock in /run/lock (the host reads the text)."""
    took = expect_test_ok("Sms")
    if not os.path.exists("/run/lock/rs232-phone-home-gsm.lock"):
        raise Failure("no lock file /run/lock/rs232-phone-home-gsm.lock")
    return took


def service_alarms(args):
    """rs232-phone-homed@2 under systemd: fire mails through postfix, flood through msmtp, intrusion pushes."""
    done = run("systemctl", "start", SERVICE, timeout=120)
    if done.returncode != 0:
        status = run("systemctl", "status", "--no-pager", "-l", SERVICE).stdout
        raise Failure(f"systemctl start {SERVICE}: {done.stderr.strip()!r} {status[-1200:]!r} "
                      f"{journal('-u', SERVICE)[-800:]!r}")
    # Held DTR and RTS read back as DSR and CTS in loopback: flood and fire go high.
    done = run(args.uart_ctl, "/dev/ttyS1", "+loop")
    if done.returncode != 0:
        raise Failure(f"uart_ctl +loop: {done.stderr.strip()}")
    wait_for("the fire mail in " + MAILBOX,
             lambda: ("Subject: SMOKE or FIRE DETECTED" in mailbox(), journal("-u", SERVICE)[-400:]), 90)
    wait_for("the flood mail at msmtp's server",
             lambda: (bool(MAIL.holding("Subject: FLOODING DETECTED")), journal("-u", SERVICE)[-400:]), 60)
    wait_for("the intrusion push",
             lambda: (bool(PUSHES.holding("Title: INTRUSION DETECTED")), journal("-u", SERVICE)[-400:]), 60)
    for channel in ("fire", "flood", "intrusion"):
        wait_for(f"{channel}'s script ended well", lambda: (
            any("event=notification-ended" in line and f"channel={channel}" in line and "status=0" in line
                for line in journal("-u", SERVICE).splitlines()), journal("-u", SERVICE)[-400:]), 30)
    if not os.path.exists("/run/lock/LCK..ttyS1"):
        raise Failure("no lock file /run/lock/LCK..ttyS1 while the service holds the port")
    return f"mails {len(MAIL.items)}, pushes {len(PUSHES.items)}"


CONTROL_DIR = "/run/rs232-phone-home/2"
CONTROL = CONTROL_DIR + "/control"
CODE_FILE = "/etc/rs232-phone-home/code"
WRONG_CODE = "57392046"
STATES = ("disarmed", "arming", "armed_away", "pending", "triggered")


def panel(args, command, code=None, user=None):
    """rs232-phone-homed --panel COMMAND against the running unit; as root, or
    through setpriv as uid 65533 in the given groups."""
    cmd = [args.service, "--control-socket", CONTROL, "--panel", command]
    if user is not None:
        groups = ["--groups", ",".join(str(g) for g in user)] if user else ["--clear-groups"]
        cmd = ["setpriv", "--reuid=65533", "--regid=65533", *groups, *cmd]
    done = subprocess.run(cmd, input=code + "\n" if code is not None else "", capture_output=True, text=True,
                          timeout=30)
    return done.returncode, done.stdout.strip(), done.stderr.strip()


def service_local_control(args):
    """The running unit's control socket under its sandbox: root and a member of dialout are served, others not;
    a wrong code is refused and logged without it; the unit's exposure stays at 2.0 or lower."""
    with open(CODE_FILE) as f:
        code = f.readline().strip()
    info = os.stat(CONTROL)
    dialout = grp.getgrnam("dialout").gr_gid
    folder = os.stat(CONTROL_DIR).st_mode & 0o7777
    if info.st_mode & 0o7777 != 0o660 or info.st_gid != dialout or folder != 0o750:
        raise Failure(f"{CONTROL} is mode {info.st_mode & 0o7777:o} group {info.st_gid}, its folder {folder:o}: "
                      f"want 660, dialout ({dialout}), 750")
    expected = [
        ("status as root", panel(args, "status"), 0, STATES),
        # PrivateUsers= shows this caller's uid as nobody: only its group lets it in.
        ("status as a member of dialout", panel(args, "status", user=[dialout]), 0, STATES),
        ("status as another user", panel(args, "status", user=[]), 1, ("",)),
        ("a wrong code", panel(args, "disarm", code=WRONG_CODE), 1, ("",)),
        ("the code", panel(args, "disarm", code=code), 0, ("disarmed",)),
        ("arm", panel(args, "arm"), 0, STATES[1:]),
    ]
    wrong = [f"{name}: status {got[0]}, stdout {got[1]!r}, stderr {got[2]!r}"
             for name, got, status, answers in expected if got[0] != status or got[1] not in answers]
    if wrong:
        raise Failure("; ".join(wrong))
    logged = journal("-u", SERVICE)
    if "event=command-refused by=local reason=wrong-code" not in logged:
        raise Failure(f"no refusal of the wrong code in the journal: {logged[-600:]!r}")
    if code in logged or WRONG_CODE in logged:
        raise Failure("a code given is in the journal")
    text = run("systemd-analyze", "security", SERVICE).stdout
    score = re.search(r"Overall exposure level for \S+: ([0-9.]+)", text)
    if not score or float(score.group(1)) > 2.0:
        raise Failure(f"systemd-analyze security: {text[-300:]!r}")
    return f"exposure {score.group(1)}"


def service_stops(args):
    """systemctl stop ends the service cleanly and it leaves no lock file, nor its control folder."""
    run("systemctl", "stop", SERVICE, timeout=60)
    result = run("systemctl", "show", "-P", "Result", SERVICE).stdout.strip()
    if result != "success":
        raise Failure(f"{SERVICE} ended with result {result}")
    if os.path.exists("/run/lock/LCK..ttyS1"):
        raise Failure("the lock file /run/lock/LCK..ttyS1 stayed")
    if os.path.exists(CONTROL_DIR):
        raise Failure(f"{CONTROL_DIR} stayed")
    return ""


CHECKS = [test_unit_postfix, test_unit_msmtp, test_unit_push, test_unit_failure_logged,
          test_unit_sendmail_refused, test_unit_mail_bounded, test_unit_sms, service_alarms, service_local_control, service_stops]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--uart-ctl", required=True)
    args = parser.parse_args()
    print(f"QEMU-GUEST-SYSTEMD up after {time.clock_gettime(time.CLOCK_BOOTTIME):.1f} s", flush=True)
    try:
        report("PASS", "setup", setup(args))
        checks = CHECKS
    except Exception as e:
        report("FAIL", "setup", str(e))
        checks = []
    failed = not checks
    for check in checks:
        t0 = time.monotonic()
        try:
            detail = check(args)
            report("PASS", check.__name__, f"({time.monotonic() - t0:.1f} s) {detail}")
        except Exception as e:
            report("FAIL", check.__name__, str(e))
            if not isinstance(e, Failure):
                traceback.print_exc(file=sys.stdout)
            failed = True
    if failed:
        print("---- the guest's journal, last lines", flush=True)
        print(run("journalctl", "--no-pager", "-n", "80", "-o", "short-monotonic").stdout, flush=True)
    print("QEMU-GUEST-END", flush=True)
    subprocess.run(["systemctl", "poweroff", "--force", "--force"])


if __name__ == "__main__":
    main()
