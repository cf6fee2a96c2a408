#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The guest side of the power-cut test (see run_powercut_test.py).

The guest's first process, once per boot: the fastest way from power-on to
a watched port. Everything it tells goes to the host over COM3
(/dev/ttyS2), one line each, never through the guest's disk: the spool as
the last power cut left it, the service's log as it is written, the
panel's state once the service answers. Then it does what the host asks
on the same line:

    arm ID | disarm ID     rs232-phone-homed --panel ...  -> "ack ID STATUS ANSWER"
    fail CHANNEL N         the channel's attempts 1..N fail (until the next boot)
    quit                   the service stopped, the state disk unmounted, power off

The notification scripts report on the same line: each attempt at once,
a success through report(), which returns only once the line has left the
UART, so that a success the host never got was never told to the service.
"""

import argparse
import os
import subprocess
import sys
import termios
import threading
import time
import tty

sys.dont_write_bytecode = True

LINK = "/dev/ttyS2"
# Where guest_checks.py has them under systemd.
CONTROL = "/run/rs232-phone-home/2/control"
CODE_FILE = "/etc/rs232-phone-home/code"
STATE_DIR = "/var/lib/rs232-phone-home"
# fail.CHANNEL: how many first attempts of that channel's script fail.
SWITCHES = "/run/powercut"


def report(text):
    """One line to the host, returned only once the UART has sent it."""
    fd = os.open(LINK, os.O_WRONLY | os.O_NOCTTY)
    try:
        os.write(fd, (text + "\n").encode())
        termios.tcdrain(fd)
    finally:
        os.close(fd)


class Link:
    """COM3 held open in raw mode: the host's requests in, lines out."""

    def __init__(self):
        self.fd = os.open(LINK, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[2] |= termios.CLOCAL
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)
        self.lock = threading.Lock()

    def say(self, text):
        with self.lock:
            os.write(self.fd, (text.replace("\n", " ") + "\n").encode())
            termios.tcdrain(self.fd)

    def requests(self):
        pending = b""
        while True:
            pending += os.read(self.fd, 4096)
            *whole, pending = pending.split(b"\n")
            for line in whole:
                yield line.decode(errors="replace").strip()


def tell_spool(link, when):
    """Each file of the state folder with its size, then "spool-end"."""
    for name in sorted(os.listdir(STATE_DIR)):
        path = os.path.join(STATE_DIR, name)
        if os.path.isfile(path):
            link.say(f"spool {when} {name} {os.path.getsize(path)}")
    link.say(f"spool-end {when}")


def panel(args, command, code=None):
    """rs232-phone-homed --panel COMMAND: (status, stdout, stderr). Not
    guest_checks.panel(): its module's imports cost a second of every boot."""
    done = subprocess.run([args.service, "--control-socket", CONTROL, "--panel", command],
                          input=code + "\n" if code else "", capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout.strip(), done.stderr.strip()


def uptime():
    return f"{time.clock_gettime(time.CLOCK_BOOTTIME):.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--retry-base", required=True)
    args = parser.parse_args()
    link = Link()
    link.say(f"boot up={uptime()} clock={time.time():.3f}")
    tell_spool(link, "before")
    os.makedirs(SWITCHES, exist_ok=True)
    os.makedirs(os.path.dirname(CONTROL), mode=0o750, exist_ok=True)
    # Port 2 is COM2, /dev/ttyS1; the state folder is the service's default.
    service = subprocess.Popen([args.service, "--port", "2", "--control-socket", CONTROL,
                                "--retry-base", args.retry_base, "--code-file", CODE_FILE],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, errors="replace")

    def follow():
        for line in service.stdout:
            link.say("log " + line.rstrip("\n"))
    threading.Thread(target=follow, daemon=True).start()
    end = time.monotonic() + 60
    while True:
        status = panel(args, "status")
        if status[0] == 0 or time.monotonic() > end:
            break
        time.sleep(0.05)
    link.say(f"ready up={uptime()} state={status[1]}" if status[0] == 0 else f"error no answer: {status}")
    for request in link.requests():
        words = request.split()
        if words[:1] in (["arm"], ["disarm"]) and len(words) == 2:
            code = None
            if words[0] == "disarm":
                with open(CODE_FILE) as f:
                    code = f.readline().strip()
            status, out, err = panel(args, words[0], code=code)
            link.say(f"ack {words[1]} {status} {out or err}")
        elif words[:1] == ["fail"] and len(words) == 3:
            with open(os.path.join(SWITCHES, "fail." + words[1]), "w") as f:
                f.write(words[2] + "\n")
            link.say(f"failing {words[1]} {words[2]}")
        elif words == ["quit"]:
            service.terminate()
            link.say(f"stopped {service.wait(60)}")
            tell_spool(link, "last")
            done = subprocess.run(["umount", STATE_DIR], capture_output=True, text=True)
            link.say(f"down {done.returncode} {done.stderr.strip()}")
            subprocess.run(["busybox", "poweroff", "-f"])
        elif words:
            link.say(f"error unknown request {request!r}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["report"]:
        report(" ".join(sys.argv[2:]))
    else:
        main()
