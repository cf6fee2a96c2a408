#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The guest side of the USB-driver test (see run_usb_test.py).

Runs in the real-driver test's guest (guest_checks.py: root, the host's root
read-only with the guest's own /dev, /proc, /sys and scratch space over it),
with the USB modules loaded. Two adapters, one driver each:

- ftdi_sio: QEMU's FT232, /dev/ttyUSB0, its chardev a virtual device on the
  host. The guest asks the host for input changes, each followed by one
  received byte ("nudge": QEMU's FT232 tells line states only with data), for
  unplugs and plugs (QMP), and for the timing of DTR and RTS around an open.
- cdc_acm: an ACM gadget made here with configfs on dummy_hcd; /dev/ttyACM0
  the host side, /dev/ttyGS0 the gadget's, whose open raises DSR and DCD on
  the host side. Unbinding the gadget from its UDC unplugs it.

For each it first measures what the driver does (TIOCMGET, TIOCMIWAIT,
TIOCGICOUNT, what a waiter gets at an unplug) with a few ioctls of its own,
printed as "QEMU-DRIVER" lines, then runs rs232-phone-homed on the adapter
with scripts of the test's own (Fault.sh among them) and checks its events
and script runs: one alarm and one run per input raised; a driver that
cannot report an input names itself in the `watch` event, warns once and
never alarms on that input; every unplug is one device-lost and one Fault.sh
run (lost), every return one device-back and one run (restored), under the
same device name, an alarm after it works, and the service's descriptors and
threads do not grow over the cycles.

Prints one line per check: "QEMU-CHECK PASS|FAIL name detail".
"""

import argparse
import errno
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

from guest_checks import SCRIPTS, Service, host, run_checks, waiting_threads
from test_e2e import Failure, hold, wait_for

FAULT_SCRIPTS = dict(SCRIPTS, device="Fault.sh")
TIOCMIWAIT, TIOCGICOUNT = 0x545C, 0x545D
BITS = {"cts": termios.TIOCM_CTS, "dsr": termios.TIOCM_DSR, "dcd": termios.TIOCM_CAR}
CHANNEL = {"cts": "fire", "dsr": "flood", "dcd": "intrusion"}
ALL_INPUTS = termios.TIOCM_CTS | termios.TIOCM_DSR | termios.TIOCM_CAR | termios.TIOCM_RNG
GADGET = "/sys/kernel/config/usb_gadget/phonehome"
UDC = "dummy_udc.0"
SLOW = 60  # a script's start and end, under emulation


def fact(driver, text):
    """A measured property of a driver, for the documentation's table."""
    print(f"QEMU-DRIVER {driver}: {text}", flush=True)


def tty_driver(name):
    return os.path.basename(os.readlink(f"/sys/class/tty/{name}/device/driver"))


def ttys(prefix):
    return sorted(n for n in os.listdir("/sys/class/tty") if n.startswith(prefix))


def bit_names(bits):
    names = [n for n, b in (("CTS", termios.TIOCM_CTS), ("DSR", termios.TIOCM_DSR), ("DCD", termios.TIOCM_CAR),
                            ("RI", termios.TIOCM_RNG), ("DTR", termios.TIOCM_DTR), ("RTS", termios.TIOCM_RTS))
             if bits & b]
    return "|".join(names) or "none"


class Tty:
    """A tty opened as a program would, without waiting for carrier."""

    def __init__(self, path):
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd)
        attrs = termios.tcgetattr(self.fd)
        attrs[2] |= termios.CLOCAL  # a falling DCD must not hang it up
        termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def lines(self):
        return struct.unpack("i", fcntl.ioctl(self.fd, termios.TIOCMGET, b"\0" * 4))[0]

    def icount(self):
        """cts, dsr, rng, dcd of TIOCGICOUNT (struct serial_icounter_struct, 20 ints)."""
        c = struct.unpack("20i", fcntl.ioctl(self.fd, TIOCGICOUNT, bytes(80)))
        return {"cts": c[0], "dsr": c[1], "rng": c[2], "dcd": c[3]}

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def try_ioctl(call):
    """The call's result, or the name of the error it fails with."""
    try:
        return call()
    except OSError as e:
        return errno.errorcode.get(e.errno, str(e.errno))


class Waiter:
    """A child process blocked in TIOCMIWAIT on t's descriptor: "ok" when it
    returns 0, else the error's name."""

    def __init__(self, t, mask):
        r, w = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(r)
            try:
                fcntl.ioctl(t.fd, TIOCMIWAIT, mask)
                answer = b"ok"
            except OSError as e:
                answer = errno.errorcode.get(e.errno, str(e.errno)).encode()
            os.write(w, answer)
            os._exit(0)
        os.close(w)
        self.r = r
        self.answer = None
        # It must be in the driver's wait before anything changes.
        wait_for("the waiter blocks in TIOCMIWAIT",
                 lambda: (self.pid_waits(), "not yet in the ioctl"), 10)

    def pid_waits(self):
        try:
            with open(f"/proc/{self.pid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            return True  # gone already: it answered
        return len(fields) > 2 and fields[0] == "16" and int(fields[2], 16) == TIOCMIWAIT

    def result(self, timeout):
        if self.answer is None:
            if select.select([self.r], [], [], timeout)[0]:
                self.answer = os.read(self.r, 64).decode() or "ended without answer"
        return self.answer

    def stop(self):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(self.pid, 0)
            os.close(self.r)
            self.pid = 0


class Guest:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="usb-checks-")
        self.service = None  # the service of the driver being checked
        self.gadget_tty = None
        self.footprints = []  # the service's descriptors and threads after each cycle

    def close(self):
        if self.service is not None:
            self.service.stop()
        if self.gadget_tty is not None:
            self.gadget_tty.close()


# -- what the service does, read from its log

def count(svc, *words):
    return len(svc.find(*words))


def runs(svc, channel, reason):
    return sum(1 for r in svc.runs() if r[:2] == [channel, reason])


def recent(svc, n=6):
    return " | ".join(e.split(" ", 1)[-1] for e in svc.events()[-n:])


def wait_count(svc, what, words, n, timeout=SLOW):
    """The log holds n lines with all of words."""
    def probe():
        if svc.proc.poll() is not None:
            raise Failure(f"the service ended (status {svc.proc.returncode}): {svc.output()!r}")
        return count(svc, *words) >= n, f"{count(svc, *words)} of {n}; last events: {recent(svc)}"
    wait_for(what, probe, timeout)
    if count(svc, *words) != n:
        raise Failure(f"{what}: {count(svc, *words)} lines with {' '.join(words)}, {n} expected: {recent(svc)}")


def wait_runs(svc, channel, reason, n, timeout=SLOW):
    wait_for(f"{channel} script run {n} ({reason})",
             lambda: (runs(svc, channel, reason) >= n, f"runs {svc.runs()}; last events: {recent(svc)}"), timeout)
    if runs(svc, channel, reason) != n:
        raise Failure(f"{runs(svc, channel, reason)} runs of the {channel} script ({reason}), {n} expected: "
                      f"{svc.runs()}")


def settled(svc):
    """Every script started has ended."""
    wait_for("the scripts end", lambda: (count(svc, "event=notification") == count(svc, "event=notification-ended"),
                                         recent(svc)), SLOW)


def footprint(pid):
    return len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


def held_devices(pid):
    held = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/dev/tty"):
            held.add(target)
    return sorted(held)


def watch_fields(svc):
    """The last `watch` event's fields."""
    lines = svc.find("event=watch")
    if not lines:
        raise Failure(f"no watch event: {recent(svc)}")
    return dict(re.findall(r"(\w+)=(\S+)", lines[-1].split(" event=watch", 1)[1]))


def expect_watch(svc, driver, reports):
    svc.wait_event("the service watches the port", "event=watch", timeout=SLOW)
    fields = watch_fields(svc)
    want = {"driver": driver, "reports": reports}
    got = {k: fields.get(k) for k in want}
    if got != want:
        raise Failure(f"the watch event says {got}, expected {want}: {svc.find('event=watch')[-1]}")
    return f"watch event: {' '.join(f'{k}={v}' for k, v in fields.items())}"


def start_service(g, name, port, *options):
    if g.service is not None:
        g.service.stop()  # left by a check that failed
    svc = Service(g, name, port=port, scripts=FAULT_SCRIPTS)
    svc.start(*options)
    return svc


# -- unplug and plug back, the same for every driver

def cycles(g, device, family, unplug, plug, alarm):
    """args.cycles times: unplug() while the service waits, plug(i) back; each
    time one device-lost and one Fault.sh run (lost), one device-back and one
    run (restored) on the same device, alarm(i) works after. The service's
    descriptors and threads are counted after each cycle."""
    svc = g.service
    g.footprints = counts = []  # for no_growth, which follows
    g.footprint_start = footprint(svc.proc.pid)
    for i in range(1, g.args.cycles + 1):
        step = f"cycle {i}"
        try:
            wait_for("a thread of the service waits in TIOCMIWAIT before the unplug",
                     lambda: (len(waiting_threads(svc.proc.pid)) == 1, f"waiting: {waiting_threads(svc.proc.pid)}"),
                     10)
            alarms = count(svc, "event=alarm")
            unplug(i)
            wait_count(svc, "device-lost", ["event=device-lost"], i)
            wait_runs(svc, "device", "lost", i)
            plug(i)
            wait_for(f"{device} is back", lambda: (os.path.exists(device), f"ttys: {ttys(family)}"), 30)
            wait_count(svc, "device-back", ["event=device-back"], i)
            wait_runs(svc, "device", "restored", i)
            if ttys(family) != [os.path.basename(device)]:
                raise Failure(f"the adapter came back as {ttys(family)}")
            if held_devices(svc.proc.pid) != [device]:
                raise Failure(f"the service holds {held_devices(svc.proc.pid)}")
            if count(svc, "event=alarm") != alarms:
                raise Failure(f"the unplug and plug brought alarms: {svc.find('event=alarm')[alarms:]}")
            alarm(i)
            settled(svc)
            time.sleep(0.5)
            counts.append(footprint(svc.proc.pid))
        except Failure as e:
            raise Failure(f"{step}: {e}") from None
    return f"{g.args.cycles} of {g.args.cycles} cycles on {device}"


def no_growth(g):
    """Descriptors and threads after the first cycle are not exceeded after any later one."""
    counts = g.footprints
    if len(counts) != g.args.cycles:
        raise Failure(f"only {len(counts)} of {g.args.cycles} cycles were counted")
    fds, threads = counts[0]
    grown = [(i + 2, c) for i, c in enumerate(counts[1:]) if c[0] > fds or c[1] > threads]
    if grown:
        raise Failure(f"after cycle 1: {fds} descriptors, {threads} threads; grown at {grown}")
    return (f"descriptors/threads before the first unplug {'/'.join(map(str, g.footprint_start))}, after each "
            f"cycle " + " ".join(f"{f}/{t}" for f, t in counts))


def stop_service(g):
    """SIGTERM ends the service with status 0."""
    svc, g.service = g.service, None
    if svc is None:
        raise Failure("no service is running")
    svc.proc.send_signal(signal.SIGTERM)
    try:
        status = svc.proc.wait(30)
    except subprocess.TimeoutExpired:
        svc.stop()
        raise Failure("the service did not end within 30 s of SIGTERM") from None
    if status != 0:
        raise Failure(f"the service ended with status {status}: {svc.output()!r}")
    return "status 0"


# -- ftdi_sio on QEMU's FT232

FTDI = "/dev/ttyUSB0"


def ftdi_present(g):
    """QEMU's FT232 is /dev/ttyUSB0, bound to ftdi_sio."""
    wait_for("ttyUSB0 appears", lambda: (os.path.exists(FTDI), f"ttys: {ttys('ttyUSB')}"), 60)
    driver = tty_driver("ttyUSB0")
    if driver != "ftdi_sio":
        raise Failure(f"ttyUSB0 is driven by {driver}")
    return f"driver {driver}"


def set_input(line, level, nudge=True):
    host(f"{line} {level}")
    if nudge:
        host("nudge")


def ftdi_driver_facts(g):
    """Per input: TIOCMGET sees a change without a nudge, TIOCMIWAIT and TIOCGICOUNT only with one."""
    t = Tty(FTDI)
    broke = None
    try:
        seen = []
        for line, bit in BITS.items():
            waiter = Waiter(t, ALL_INPUTS)
            try:
                before = t.icount()
                set_input(line, 1, nudge=False)
                wait_for(f"TIOCMGET reads {line} high without a nudge",
                         lambda: (t.lines() & bit != 0, bit_names(t.lines())), 10)
                time.sleep(1)
                # Under load QEMU now and then sends a packet of its own that
                # wakes the waiter: a fact about the emulator, not the driver.
                if waiter.result(0) is not None or t.icount() != before:
                    fact("ftdi_sio", f"{line} without a nudge: the waiter said {waiter.result(0)}, "
                         f"counts {before} -> {t.icount()} (a packet QEMU sent of its own)")
                if broke is None:  # once: does a break do what the byte does?
                    host("break")
                    broke = waiter.result(2) or "nothing"
                    fact("ftdi_sio", f"under QEMU a break (QMP chardev-send-break) after a change wakes the waiter "
                         f"with: {broke}")
                host("nudge")
                answer = waiter.result(10)
                if answer != "ok":
                    raise Failure(f"{line} with a nudge: the waiter says {answer}")
                after = t.icount()
                if after[line] != before[line] + 1:
                    raise Failure(f"{line}: TIOCGICOUNT {before} -> {after}, one edge of {line} expected")
            finally:
                waiter.stop()
            set_input(line, 0)
            wait_for(f"{line} low again", lambda: (t.lines() & bit == 0, bit_names(t.lines())), 10)
            seen.append(line)
        fact("ftdi_sio", "TIOCMGET reports CTS, DSR and DCD, asking the adapter each time: under QEMU a "
             "change shows there without any data")
        fact("ftdi_sio", "TIOCMIWAIT and TIOCGICOUNT work, driven by the status bytes of received packets: "
             "under QEMU only a change followed by a received byte wakes the waiter and counts one edge")
        return f"{', '.join(seen)}: read without a nudge, waited for and counted with one"
    finally:
        t.close()


def ftdi_waiter_at_unplug(g):
    """A waiter in TIOCMIWAIT gets an error at the unplug; the adapter comes back as ttyUSB0 once closed."""
    t = Tty(FTDI)
    waiter = Waiter(t, ALL_INPUTS)
    try:
        host("unplug")
        answer = waiter.result(20)
        after = try_ioctl(t.lines)
        after = bit_names(after) if isinstance(after, int) else after
    finally:
        waiter.stop()
        t.close()
    fact("ftdi_sio", f"a waiter in TIOCMIWAIT at the unplug gets {answer}; TIOCMGET after it gives {after}")
    host("plug")
    wait_for("ttyUSB0 is back", lambda: (os.path.exists(FTDI), f"ttys: {ttys('ttyUSB')}"), 30)
    if answer is None or answer == "ok":
        raise Failure(f"the waiter at the unplug got {answer}, an error expected")
    if ttys("ttyUSB") != ["ttyUSB0"]:
        raise Failure(f"the adapter came back as {ttys('ttyUSB')}")
    return f"the waiter gets {answer}, TIOCMGET then {after}"


def ftdi_outputs(g):
    """The service's DTR and RTS (--dtr --rts) reach the host's device; SIGTERM drops both there."""
    svc = start_service(g, "ftdi-outputs", FTDI, "--dtr", "--rts")
    g.service = svc
    svc.wait_event("the service opens ttyUSB0", "event=opened", timeout=SLOW)
    host("expect ftdi-service-dtr-rts-reach-the-host-device dtr?=1 rts?=1")
    time.sleep(1)
    stop_service(g)
    host("expect ftdi-service-end-drops-dtr-rts-on-the-host-device dtr?=0 rts?=0")
    return "see the host's checks"


def ftdi_service_opens(g):
    """The service (--dtr) opens ttyUSB0; its watch event names ftdi_sio and all three inputs; the
    host times DTR and RTS during the open."""
    host("mark open")
    time.sleep(0.2)
    g.service = svc = start_service(g, "ftdi", FTDI, "--dtr")
    svc.wait_event("the service opens ttyUSB0", "event=opened", timeout=SLOW)
    wait_for("a thread of the service waits in TIOCMIWAIT",
             lambda: (len(waiting_threads(svc.proc.pid)) == 1, f"waiting: {waiting_threads(svc.proc.pid)}"), 20)
    time.sleep(0.5)
    host("glitch open 1 0")
    for channel in ("fire", "flood", "intrusion"):
        if not svc.find("event=script", f"channel={channel}", "state=ready"):
            raise Failure(f"{SCRIPTS[channel]} not ready: {[e for e in svc.events() if 'event=script' in e]}")
    return expect_watch(svc, "ftdi_sio", "cts,dsr,dcd")


def ftdi_inputs_alarm(g):
    """Each input raised on the host (and nudged) is one alarm and one script run; lowered, it is normal again."""
    svc = g.service
    for line, channel in CHANNEL.items():
        set_input(line, 1)
        wait_count(svc, f"{channel} alarm", ["event=alarm", f"channel={channel}"], 1)
        wait_runs(svc, channel, "alarm", 1)
        set_input(line, 0)
        wait_count(svc, f"{channel} normal", ["event=normal", f"channel={channel}"], 1)
    settled(svc)
    hold("no other alarm", lambda: (count(svc, "event=alarm") == 3, recent(svc)), 1)
    return f"runs {svc.runs()}"


def ftdi_tick_without_nudge(g):
    """The service's tick (TIOCMGET once a second) turns an un-nudged change into an alarm."""
    svc = g.service
    set_input("dsr", 1, nudge=False)
    t0 = time.monotonic()
    try:
        wait_count(svc, "flood alarm from the tick", ["event=alarm", "channel=flood"], 2, timeout=10)
        took = time.monotonic() - t0
    finally:
        host("nudge")  # whatever the tick did, the watcher must agree
        wait_count(svc, "flood alarm", ["event=alarm", "channel=flood"], 2)
    set_input("dsr", 0)
    wait_count(svc, "flood normal", ["event=normal", "channel=flood"], 2)
    wait_runs(svc, "flood", "alarm", 2)
    settled(svc)
    return f"alarm {took:.1f} s after the change, without a nudge"


def ftdi_cycles(g):
    """Unplug (device_del) and plug (device_add) the FT232 while the service waits: lost and back each time,
    as ttyUSB0, Fault.sh told both ways, an alarm after each return; DTR and RTS timed at each reopen."""
    svc = g.service
    base = count(svc, "event=alarm", "channel=fire")

    def unplug(i):
        host("unplug")

    def plug(i):
        host(f"mark reopen-{i}")
        host("plug")

    def alarm(i):
        time.sleep(0.5)
        host(f"glitch reopen-{i} 1 0")
        set_input("cts", 1)
        wait_count(svc, "fire alarm after the return", ["event=alarm", "channel=fire"], base + i)
        wait_runs(svc, "fire", "alarm", base + i)
        set_input("cts", 0)
        wait_count(svc, "fire normal after the return", ["event=normal", "channel=fire"], base + i)
    return cycles(g, FTDI, "ttyUSB", unplug, plug, alarm)


# -- cdc_acm on an ACM gadget (configfs, dummy_hcd)

ACM = "/dev/ttyACM0"


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def bind(udc):
    write(os.path.join(GADGET, "UDC"), udc + "\n")


def acm_gadget(g):
    """An ACM gadget made with configfs and bound to dummy_udc.0 is /dev/ttyACM0 (cdc_acm) and /dev/ttyGS0."""
    if not os.path.isdir("/sys/kernel/config/usb_gadget"):
        subprocess.run(["mount", "-t", "configfs", "none", "/sys/kernel/config"], check=True, timeout=20)
    if not os.path.isdir("/sys/kernel/config/usb_gadget"):
        raise Failure("configfs has no usb_gadget: libcomposite is not loaded")
    if UDC not in os.listdir("/sys/class/udc"):
        raise Failure(f"no {UDC}: {os.listdir('/sys/class/udc')}")
    os.mkdir(GADGET)
    write(f"{GADGET}/idVendor", "0x1d6b")
    write(f"{GADGET}/idProduct", "0x0104")
    os.makedirs(f"{GADGET}/strings/0x409")
    for name, value in (("manufacturer", "phone-home test"), ("product", "ACM gadget"), ("serialnumber", "1")):
        write(f"{GADGET}/strings/0x409/{name}", value)
    os.makedirs(f"{GADGET}/configs/c.1")
    os.mkdir(f"{GADGET}/functions/acm.usb0")
    os.symlink(f"{GADGET}/functions/acm.usb0", f"{GADGET}/configs/c.1/acm.usb0")
    with open(f"{GADGET}/functions/acm.usb0/port_num") as f:
        g.gadget_path = f"/dev/ttyGS{f.read().strip()}"
    bind(UDC)
    wait_for("ttyACM0 appears", lambda: (os.path.exists(ACM), f"ttys: {ttys('ttyACM')}"), 30)
    driver = tty_driver("ttyACM0")
    if driver != "cdc_acm":
        raise Failure(f"ttyACM0 is driven by {driver}")
    return f"{ACM} ({driver}), gadget side {g.gadget_path}"


def acm_driver_facts(g):
    """Opening ttyGS0 raises DSR and DCD on ttyACM0 (CTS always reads high), wakes a waiter and counts;
    closing drops both; a waiter at the gadget's unbind gets an answer."""
    t = Tty(ACM)
    try:
        rest = t.lines()
        if rest & termios.TIOCM_CTS == 0 or rest & (termios.TIOCM_DSR | termios.TIOCM_CAR):
            raise Failure(f"at rest ttyACM0 reads {bit_names(rest)}: CTS alone expected")
        before = t.icount()
        waiter = Waiter(t, termios.TIOCM_DSR | termios.TIOCM_CAR)
        try:
            g.gadget_tty = Tty(g.gadget_path)
            both = termios.TIOCM_DSR | termios.TIOCM_CAR
            wait_for("DSR and DCD rise", lambda: (t.lines() & both == both, bit_names(t.lines())), 10)
            answer = waiter.result(10)
        finally:
            waiter.stop()
        opened = t.icount()
        g.gadget_tty.close()
        wait_for("DSR and DCD fall", lambda: (t.lines() & both == 0, bit_names(t.lines())), 10)
        closed = t.icount()
        fact("cdc_acm", f"at rest TIOCMGET reads {bit_names(rest)} (CTS always set); the gadget's open makes "
             f"{bit_names(t.lines() | both)}")
        fact("cdc_acm", f"TIOCMIWAIT on DSR|DCD wakes with {answer}; TIOCGICOUNT {before} -> open {opened} -> "
             f"close {closed}")
        if answer != "ok":
            raise Failure(f"the waiter got {answer}")
        if (opened["dsr"] - before["dsr"], opened["dcd"] - before["dcd"]) != (1, 1) or \
                (closed["dsr"] - opened["dsr"], closed["dcd"] - opened["dcd"]) != (1, 1):
            raise Failure(f"TIOCGICOUNT {before} -> {opened} -> {closed}: one edge of DSR and DCD each expected")
        # At the unbind with the gadget's side open (DSR and DCD high): do
        # they fall before the device goes?
        g.gadget_tty = Tty(g.gadget_path)
        wait_for("DSR and DCD rise", lambda: (t.lines() & both == both, bit_names(t.lines())), 10)
        waiter = Waiter(t, both)
        try:
            bind("")
            held_open = waiter.result(20)
        finally:
            waiter.stop()
            g.gadget_tty.close()
        fact("cdc_acm", f"at the unplug with the gadget's side open a waiter on DSR|DCD gets {held_open}")
        t.close()
        bind(UDC)
        wait_for("ttyACM0 is back", lambda: (ttys("ttyACM") == ["ttyACM0"], f"ttys: {ttys('ttyACM')}"), 30)
        t = Tty(ACM)
        # At the unbind: one waiter with DCD in its mask, one without.
        with_dcd = Waiter(t, ALL_INPUTS)
        without_dcd = Waiter(t, termios.TIOCM_DSR | termios.TIOCM_CTS)
        try:
            bind("")
            answers = (with_dcd.result(20), without_dcd.result(20))
            after = try_ioctl(t.lines)
            after = bit_names(after) if isinstance(after, int) else after
            time.sleep(1)
            later = try_ioctl(t.lines)
            later = bit_names(later) if isinstance(later, int) else later
        finally:
            with_dcd.stop()
            without_dcd.stop()
        fact("cdc_acm", f"at the unplug a waiter in TIOCMIWAIT whose mask holds DCD gets {answers[0]}, one "
             f"without DCD {answers[1]}; TIOCMGET right after gives {after}, a second later {later}")
    finally:
        t.close()
    bind(UDC)
    if None in answers:
        raise Failure(f"a waiter in TIOCMIWAIT was still waiting 20 s after the unplug: {answers}")
    wait_for("ttyACM0 is back", lambda: (os.path.exists(ACM), f"ttys: {ttys('ttyACM')}"), 30)
    if ttys("ttyACM") != ["ttyACM0"]:
        raise Failure(f"the gadget came back as {ttys('ttyACM')}")
    return f"rest {bit_names(rest)}, waiter {answer}, at the unplug {answers[0]}/{answers[1]}"


def acm_service_watch(g):
    """On ttyACM0 the watch event names cdc_acm and dsr,dcd; the service warns once that fire cannot alarm."""
    g.service = svc = start_service(g, "acm", ACM, "--dtr")
    svc.wait_event("the service opens ttyACM0", "event=opened", timeout=SLOW)
    detail = expect_watch(svc, "cdc_acm", "dsr,dcd")

    # Written just after the watch event: the log may not hold it yet.
    def fire_warnings():
        return [e for e in svc.find("event=warning") if "fire channel cannot alarm" in e]
    wait_for("the warning that fire cannot alarm",
             lambda: (bool(fire_warnings()), f"warnings: {svc.find('event=warning')}"), SLOW)
    warnings = fire_warnings()
    if len(warnings) != 1:
        raise Failure(f"{len(warnings)} warnings that fire cannot alarm, one expected: {svc.find('event=warning')}")
    return detail


def acm_gadget_open_alarms(g):
    """Opening ttyGS0 is one flood and one intrusion alarm, each script run once; closing it is normal."""
    svc = g.service
    g.gadget_tty = Tty(g.gadget_path)
    for channel in ("flood", "intrusion"):
        wait_count(svc, f"{channel} alarm", ["event=alarm", f"channel={channel}"], 1)
        wait_runs(svc, channel, "alarm", 1)
    g.gadget_tty.close()
    for channel in ("flood", "intrusion"):
        wait_count(svc, f"{channel} normal", ["event=normal", f"channel={channel}"], 1)
    settled(svc)
    return f"runs {svc.runs()}"


def acm_cycles(g):
    """Unbind the gadget ("" to UDC) and bind it again while the service waits: lost and back each time,
    as ttyACM0, Fault.sh told both ways, an alarm after each return."""
    svc = g.service
    base = count(svc, "event=alarm", "channel=flood")

    def alarm(i):
        g.gadget_tty = Tty(g.gadget_path)
        wait_count(svc, "flood alarm after the return", ["event=alarm", "channel=flood"], base + i)
        wait_runs(svc, "flood", "alarm", base + i)
        g.gadget_tty.close()
        wait_count(svc, "flood normal after the return", ["event=normal", "channel=flood"], base + i)
    return cycles(g, ACM, "ttyACM", lambda i: bind(""), lambda i: bind(UDC), alarm)


def acm_fire_never(g):
    """Over the whole run on ttyACM0 (CTS always high) fire never alarmed and Fire.sh never ran."""
    svc = g.service
    fire = svc.find("event=alarm", "channel=fire")
    if fire or runs(svc, "fire", "alarm"):
        raise Failure(f"fire alarmed {len(fire)} times ({fire[:2]}), Fire.sh ran {runs(svc, 'fire', 'alarm')} times")
    warnings = [e for e in svc.find("event=warning") if "fire channel cannot alarm" in e]
    if len(warnings) != 1:
        raise Failure(f"{len(warnings)} warnings that fire cannot alarm, one expected over the run")
    return "no fire alarm, one warning"


def acm_refused_when_back(g):
    """A normally closed fire contact cannot be watched on cdc_acm: started while the adapter is
    away, the service tells so once when it comes back, and goes on retrying rather than watching."""
    bind("")
    wait_for("ttyACM0 is gone", lambda: (not os.path.exists(ACM), f"ttys: {ttys('ttyACM')}"), 30)
    g.service = svc = start_service(g, "acm-nc", ACM, "--normally-closed", "fire")
    svc.wait_event("the device is lost at start", "event=device-lost", timeout=SLOW)
    bind(UDC)
    wait_count(svc, "the refusal told", ["event=error", "number=209"], 1)
    time.sleep(5)  # two more retries: still refused, not told again
    wait_count(svc, "the refusal told once", ["event=error", "number=209"], 1, timeout=1)
    if svc.find("event=device-back") or svc.find("event=opened"):
        raise Failure(f"the port was taken as watched: {recent(svc)}")
    error = svc.find("event=error", "number=209")[0]
    if "cdc_acm" not in error or "normally closed" not in error:
        raise Failure(f"the error does not say why: {error}")
    return "told once: 209, cdc_acm"


CHECKS = [
    ("ftdi-adapter-present", ftdi_present),
    ("ftdi-tiocmget-sees-without-nudge-wait-and-count-with-one", ftdi_driver_facts),
    ("ftdi-waiter-at-unplug", ftdi_waiter_at_unplug),
    ("ftdi-service-dtr-rts-reach-host", ftdi_outputs),
    ("ftdi-service-opens-watch-names-driver", ftdi_service_opens),
    ("ftdi-each-input-one-alarm-one-run", ftdi_inputs_alarm),
    ("ftdi-service-tick-sees-unnudged-change", ftdi_tick_without_nudge),
    ("ftdi-unplug-replug-cycles", ftdi_cycles),
    ("ftdi-no-fd-or-thread-growth", no_growth),
    ("ftdi-service-sigterm", stop_service),
    ("acm-gadget-bound", acm_gadget),
    ("acm-gadget-open-raises-dsr-dcd", acm_driver_facts),
    ("acm-service-watch-names-driver-warns-fire", acm_service_watch),
    ("acm-gadget-open-flood-intrusion-alarm", acm_gadget_open_alarms),
    ("acm-unbind-rebind-cycles", acm_cycles),
    ("acm-no-fd-or-thread-growth", no_growth),
    ("acm-fire-never-alarms", acm_fire_never),
    ("acm-service-sigterm", stop_service),
    ("acm-normally-closed-fire-refused-when-back", acm_refused_when_back),
    ("acm-refused-service-sigterm", stop_service),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    parser.add_argument("--accel", default="tcg")
    parser.add_argument("--cycles", type=int, default=5)
    args = parser.parse_args()
    return run_checks(lambda: Guest(args), CHECKS, lambda g: g.service is not None and print(
        f"    service events: {recent(g.service, 12)}", flush=True))


if __name__ == "__main__":
    sys.exit(main())
