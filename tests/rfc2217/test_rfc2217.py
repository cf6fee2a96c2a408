#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A port on another machine: the service and the window on rfc2217://, served
by Debian's ser2net from a virtual serial device (tests/vserial), on 127.0.0.1
and a TCP port free at run time. Scripts of the test's own write one marker
line per run.

Standard library only; prints "N passed, N failed" at the end.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))
from test_service import Failure, Run, run_groups, wait_for  # noqa: E402

# The device is the test's own: nouucplock keeps ser2net from leaving lock files
# in the machine's /var/lock.
CONFIG = """%YAML 1.1
---
connection: &door
    accepter: {accepter}tcp,127.0.0.1,{port}
    enable: on
    options:
      kickolduser: true
    connector: serialdev(nouucplock),{device},9600n81,local
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Setup(Run):
    """A virtual device, ser2net serving it, a script folder, and one program."""

    def __init__(self, args, name):
        super().__init__(args, name, alias=None, prefix="rfc2217")
        self.device = os.path.join(self.device_dir, "tty")
        self.port = free_port()
        self.address = f"rfc2217://127.0.0.1:{self.port}"
        self.ser2net = None

    def start_ser2net(self, accepter="telnet(rfc2217),"):
        config = os.path.join(self.work, "ser2net.yaml")
        with open(config, "w") as f:
            f.write(CONFIG.format(accepter=accepter, port=self.port, device=self.device))
        log = open(os.path.join(self.work, "ser2net.log"), "ab")
        # The preload gives ser2net the virtual device's lines, as it gives them to us.
        self.ser2net = subprocess.Popen([self.args.ser2net, "-n", "-d", "-c", config,
                                         "-P", os.path.join(self.work, "ser2net.pid")],
                                        env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        log.close()

        def listening():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True, ""
            except OSError as e:
                return False, str(e)
        wait_for("ser2net listens", listening)
        # ser2net opens the device for our probe and closes it as the probe goes.
        time.sleep(0.3)

    def stop_ser2net(self):
        self.ser2net.terminate()
        self.ser2net.wait(10)

    def service(self, *options):
        self.start(self.args.service, "--port", self.address, "--script-dir", self.scripts,
                   "--state-dir", os.path.join(self.work, "state"), *options)
        self.wait_log("the port is opened", "event=opened")

    def start(self, program, *options):
        # The program itself needs no preload: it reaches the device only through ser2net.
        super().start(program, *options, env={k: v for k, v in self.env.items() if k != "LD_PRELOAD"})

    def expect_runs(self, what, expected, timeout=4.0, settle=1.5):
        super().expect_runs(what, expected, timeout, settle)

    def stop(self, keep):
        if self.ser2net and self.ser2net.poll() is None:
            self.ser2net.send_signal(signal.SIGCONT)
            self.ser2net.kill()
            self.ser2net.wait()
        ser2net_log = os.path.join(self.work, "ser2net.log")
        if keep and os.path.exists(ser2net_log):
            with open(ser2net_log, errors="replace") as f:
                print(f"    ser2net: {f.read()[-500:]}")
        super().stop(keep)


def alarm_over_the_network(s):
    """A DCD raised at ser2net's device alarms and runs Intruder.sh once; --dtr reaches
    the device and RTS, which ser2net raises as it opens the device, stays low; RI is
    recorded."""
    s.start_ser2net()
    s.service("--dtr")
    s.wait_log("the watch names the driver and the server",
               "event=watch mode=server driver=rfc2217 reports=cts,dsr,dcd server=ser2net")
    if "once a second" not in s.log():
        raise Failure("the watch event does not say that ser2net samples the lines")
    wait_for("DTR high at the device", lambda: (s.ask("dtr?") == "1", "DTR low"))
    if s.ask("rts?") != "0":
        raise Failure("RTS is high at the device")
    s.ask("dcd 1")
    s.expect_runs("Intruder.sh after DCD rose", [("intrusion", "alarm")])
    s.wait_log("the alarm is recorded", "event=alarm channel=intrusion line=DCD")
    # RI travels in the same notification: recorded, never an alarm.
    s.ask("ri 1")
    s.wait_log("RI is recorded", "event=line line=RI level=high", timeout=3)


def ser2net_restarted(s):
    """ser2net stopped and started again: one loss, one return, and alarms again."""
    s.start_ser2net()
    s.service()
    s.stop_ser2net()
    s.wait_log("the loss is told", "event=device-lost")
    s.expect_runs("Fault.sh told of the loss", [("device", "lost")], settle=0.5)
    s.start_ser2net()
    s.wait_log("the return is told", "event=device-back", timeout=10)
    s.ask("cts 1")
    s.expect_runs("Fire.sh after the return", [("device", "lost"), ("device", "restored"), ("fire", "alarm")])
    log = s.log()
    if log.count("event=device-lost") != 1 or log.count("event=device-back") != 1:
        raise Failure("not one loss and one return")


def ser2net_stopped(s):
    """ser2net stopped with SIGSTOP answers nothing: told lost within 30 s, and back after SIGCONT."""
    s.start_ser2net()
    s.service()
    s.ask("dsr 1")
    s.expect_runs("Flood.sh before the stop", [("flood", "alarm")], settle=0.2)
    t0 = time.monotonic()
    s.ser2net.send_signal(signal.SIGSTOP)
    s.wait_log("the silent server is told lost", "event=device-lost", timeout=30)
    lost_after = time.monotonic() - t0
    print(f"    silent ser2net told lost after {lost_after:.1f} s")
    if "has not answered" not in s.log():
        raise Failure("the loss does not say that the server stopped answering")
    # A line that changes while the link is down is told as a change on return.
    s.ask("dsr 0")
    s.ask("dcd 1")
    s.ser2net.send_signal(signal.SIGCONT)
    s.wait_log("back after SIGCONT", "event=device-back", timeout=25)
    s.expect_runs("the change while away is told",
                  [("flood", "alarm"), ("device", "lost"), ("device", "restored"), ("intrusion", "alarm")])


def not_rfc2217(s):
    """A plain TCP port of ser2net is no RFC 2217 server: error 211, in words."""
    s.start_ser2net(accepter="")
    s.start(s.args.service, "--port", s.address, "--script-dir", s.scripts,
            "--state-dir", os.path.join(s.work, "state"))
    s.wait_log("the refusal is told", "event=error number=211", timeout=10)
    if "telnet(rfc2217),tcp," not in s.log():
        raise Failure("the error does not say how to configure ser2net")


def sigterm_while_opening(s):
    """SIGTERM while the service waits for a server that accepted and says nothing
    still ends it, with status 0."""
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        s.start(s.args.service, "--port", f"rfc2217://127.0.0.1:{silent.getsockname()[1]}", "--script-dir",
                s.scripts, "--state-dir", os.path.join(s.work, "state"))
        time.sleep(1.0)
        s.proc.send_signal(signal.SIGTERM)
        try:
            status = s.proc.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure("SIGTERM during the open did not end the service")
    if status != 0 or "event=stop signal=15" not in s.log():
        raise Failure(f"status {status}")


def window_drives_outputs(s):
    """The window opened on rfc2217:// with --dtr raises DTR at ser2net's device."""
    s.start_ser2net()
    s.start(s.args.app, "--port", s.address, "--open", "--dtr", "-platform", "offscreen")
    wait_for("DTR high at the device", lambda: (s.ask("dtr?") == "1", "DTR low"), timeout=10)
    if s.ask("rts?") != "0":
        raise Failure("RTS is high at the device")


def bad_address(s):
    """A malformed address is a usage error, before anything starts."""
    done = subprocess.run([s.args.service, "--port", "rfc2217://127.0.0.1"], capture_output=True, text=True,
                          timeout=10)
    if done.returncode != 2 or "rfc2217://HOST:PORT" not in done.stderr:
        raise Failure(f"status {done.returncode}: {done.stderr[:300]}")


GROUPS = [alarm_over_the_network, ser2net_restarted, ser2net_stopped, not_rfc2217, sigterm_while_opening,
          window_drives_outputs, bad_address]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for name in ("service", "app", "ctl", "preload", "ser2net"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--only", action="append")
    args = parser.parse_args()
    return run_groups(GROUPS, args.only, lambda group: Setup(args, group.__name__), "rfc2217")


if __name__ == "__main__":
    sys.exit(main())
