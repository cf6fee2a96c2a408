#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the service against the kernel's USB serial drivers, inside QEMU.

The guest is the real-driver test's (run_qemu_test.py: Debian's kernel, this
machine's root over virtio-9p, the binaries just built), with the USB modules
loaded besides, and usb_guest_checks.py doing the checks. Two drivers:

- ftdi_sio, on QEMU's emulated FT232 (-device usb-serial on a qemu-xhci
  controller), /dev/ttyUSB0 in the guest. Its chardev is a virtual serial
  device on this machine (tests/vserial, vserial_ctl; QEMU runs under its
  preload), as COM2 is in the real-driver test: the adapter's inputs follow
  the device's, the adapter's DTR and RTS show on it. QEMU's monitor (QMP, on
  a socket in the run's folder) unplugs and plugs the adapter.

  QEMU's limit: its FT232 sends the line states only in the two-byte header
  of a bulk-in packet that carries data (hw/usb/dev-serial.c,
  usb_serial_token_in: with nothing received it answers NAK, so the guest
  hears of no change). The host therefore follows each change of an input
  with one received byte written into the chardev (a "nudge"); a break sent
  with QMP's chardev-send-break alone was seen not to wake the guest (it
  prints what a break does). A TIOCMGET, which ftdi_sio answers by asking
  the adapter each time, sees a change without the nudge; the guest shows
  both, and that the service's tick catches such a change.

- cdc_acm, on an ACM gadget made with configfs on dummy_hcd, all in the
  guest: /dev/ttyACM0 the host side, /dev/ttyGS0 the gadget's. Needs nothing
  from this machine.

The guest asks for what it needs on its console ("QEMU-HOST ..." lines, see
UsbHost); the host answers nothing and the guest waits for the effect. The
adapter's DTR and RTS are recorded here with their times all along, so the
open's glitch (the kernel raises both before the program sets them) is
measured between two marks the guest sets, and printed as "USB-GLITCH" lines.

A module the kernel package lacks, a QEMU device this QEMU lacks, or a QMP
command that fails is a failure that names it. Standard library only.
"""

import argparse
import ctypes
import json
import mmap
import os
import signal
import socket
import struct
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
import run_qemu_test as qemu  # noqa: E402  (the real-driver test's kernel, initramfs, QEMU and virtual device)
from run_qemu_test import Failure, log  # noqa: E402

# Besides the real-driver test's (virtio, 9p), each with what it needs.
USB_MODULES = ("xhci_pci", "usbserial", "ftdi_sio", "cdc_acm",
               "dummy_hcd", "configfs", "libcomposite", "u_serial", "usb_f_acm")
QEMU_DEVICES = ("qemu-xhci", "usb-serial")
CHARDEV = "ftdi"
TIOCM_DTR, TIOCM_RTS = 0x002, 0x004
# struct vserial_state (tests/vserial/vserial_state.h): magic, lines, flags,
# ioctl_count, write_count, ...
STATE_LINES, STATE_WRITES = 4, 16


def pidfd_getfd(pid, target):
    """A copy of another process's descriptor (Linux 5.6; our own child's)."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    try:
        fd = libc.syscall(438, pidfd, target, 0)  # SYS_pidfd_getfd, x86_64
        if fd < 0:
            raise Failure(f"pidfd_getfd of vserial_ctl's pty master: {os.strerror(ctypes.get_errno())}")
        return fd
    finally:
        os.close(pidfd)


class Qmp:
    """QEMU's monitor protocol on a Unix socket: commands, and the events
    that come meanwhile kept for wait_event."""

    def __init__(self, path, timeout=30):
        end = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError as e:
                self.sock.close()
                if time.monotonic() > end:
                    raise Failure(f"QMP socket {path}: {e}") from None
                time.sleep(0.1)
        self.file = self.sock.makefile("r")
        self.events = []
        if "QMP" not in self._read(timeout):
            raise Failure("QMP sent no greeting")
        self.command("qmp_capabilities")

    def _read(self, timeout):
        self.sock.settimeout(timeout)
        line = self.file.readline()
        if not line:
            raise Failure("QMP closed its socket")
        return json.loads(line)

    def command(self, name, timeout=20, **arguments):
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        end = time.monotonic() + timeout
        while True:
            reply = self._read(max(0.1, end - time.monotonic()))
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise Failure(f"QMP {name} {arguments}: {reply['error'].get('desc', reply['error'])}")
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, timeout=20, **data):
        end = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == name and all(e.get("data", {}).get(k) == v for k, v in data.items()):
                    self.events.remove(e)
                    return e
            left = end - time.monotonic()
            if left <= 0:
                raise Failure(f"no QMP event {name} {data} within {timeout} s")
            try:
                reply = self._read(left)
            except socket.timeout:
                continue
            if "event" in reply:
                self.events.append(reply)

    def close(self):
        self.sock.close()


class OutputRecorder(threading.Thread):
    """Every change of the device's DTR and RTS, with its time, read from
    the device's shared state every 0.2 ms; and the count of line writes."""

    def __init__(self, state_path):
        super().__init__(daemon=True)
        fd = os.open(state_path, os.O_RDONLY)
        try:
            self.map = mmap.mmap(fd, 0, prot=mmap.PROT_READ)
        finally:
            os.close(fd)
        self.changes = [(time.monotonic(), *self.read())]  # (time, dtr, rts, writes)
        self.lock = threading.Lock()
        self.done = threading.Event()

    def read(self):
        lines = struct.unpack_from("<I", self.map, STATE_LINES)[0]
        writes = struct.unpack_from("<I", self.map, STATE_WRITES)[0]
        return bool(lines & TIOCM_DTR), bool(lines & TIOCM_RTS), writes

    def run(self):
        while not self.done.wait(0.0002):
            dtr, rts, writes = self.read()
            last = self.changes[-1]
            if (dtr, rts) != last[1:3]:
                with self.lock:
                    self.changes.append((time.monotonic(), dtr, rts, writes))

    def segment(self, start, end):
        """The state at start, and the changes after it up to end."""
        with self.lock:
            before = [c for c in self.changes if c[0] <= start]
            inside = [c for c in self.changes if start < c[0] <= end]
        return before[-1], inside

    def stop(self):
        self.done.set()
        self.join()
        self.map.close()


def glitch(changes, end):
    """From the segment's first change (the kernel's raise at the open) to
    its end: how long, and how often, each output was away from its final
    level: {name: (final, ms, times)}."""
    result = {}
    for i, name in ((1, "DTR"), (2, "RTS")):
        final = changes[-1][i] if changes else None
        away, times, since = 0.0, 0, None
        for c in changes:
            if c[i] != final and since is None:
                since, times = c[0], times + 1
            elif c[i] == final and since is not None:
                away, since = away + c[0] - since, None
        if since is not None:
            away += end - since
        result[name] = (final, away * 1000, times)
    return result


class UsbHost(qemu.Com2):
    """The virtual device behind the FT232's chardev (the real-driver test's
    Com2: vserial_ctl, its inputs and expectations), QEMU's monitor, and the
    guest's requests for them:

        QEMU-HOST inputs C D K | cts|dsr|dcd 0|1   passed on to vserial_ctl (Com2)
        QEMU-HOST expect NAME dtr?=1 rts?=0        the device shows these (Com2)
        QEMU-HOST nudge                            one byte into the chardev
        QEMU-HOST break                            QMP chardev-send-break on it
        QEMU-HOST unplug                           device_del, then DEVICE_DELETED
        QEMU-HOST plug                             device_add under a new id
        QEMU-HOST mark NAME                        a glitch segment starts
        QEMU-HOST glitch NAME DTR RTS              it ends: its numbers printed, the
                                                   final levels checked

    The inputs rest low: open contacts."""

    def __init__(self, ctl, preload, parent, qmp_path):
        super().__init__(ctl, preload, parent)
        if self.ask("inputs 0 0 0") != "ok":
            raise Failure("vserial_ctl refused 'inputs 0 0 0'")
        self.master = self._pty_master()
        self.recorder = OutputRecorder(os.path.join(self.devdir, "state"))
        self.recorder.start()
        self.qmp_path = qmp_path
        self.qmp = None
        self.plugged = "ftdi0"
        self.plugs = 0
        self.marks = {}
        self.glitches = []  # (name, {line: (final, ms, times)}, line writes, ms to the final levels)

    def _pty_master(self):
        """vserial_ctl's master side of the pty, where bytes for QEMU go in."""
        fds = f"/proc/{self.proc.pid}/fd"
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)) in ("/dev/ptmx", "/dev/pts/ptmx"):
                    return pidfd_getfd(self.proc.pid, int(fd))
            except OSError:
                continue
        raise Failure("vserial_ctl holds no pty master")

    def line(self, seen, text):
        m = qemu.HOST_RE.match(text)
        words = m.group(1).split() if m else []
        handler = getattr(self, "do_" + words[0], None) if words else None
        if handler is None:
            super().line(seen, text)
            return
        try:
            detail = handler(seen, *words[1:])
            log(f"host: {' '.join(words)}{' -> ' + detail if detail else ''}")
        except (Failure, OSError, ValueError, TypeError) as e:
            log(f"host: {' '.join(words)} FAILED: {e}")
            self.results.append(("FAIL", f"host-{words[0]}", f" {' '.join(words)}: {e}"))

    def monitor(self):
        if self.qmp is None:
            self.qmp = Qmp(self.qmp_path)
        return self.qmp

    def do_nudge(self, seen):
        os.write(self.master, b"U")

    def do_break(self, seen):
        self.monitor().command("chardev-send-break", id=CHARDEV)

    def do_unplug(self, seen):
        t0 = time.monotonic()
        self.monitor().command("device_del", id=self.plugged)
        self.monitor().wait_event("DEVICE_DELETED", device=self.plugged)
        return f"{self.plugged} deleted in {(time.monotonic() - t0) * 1000:.0f} ms"

    def do_plug(self, seen):
        self.plugs += 1
        new = f"ftdi{self.plugs}"
        self.monitor().command("device_add", driver="usb-serial", chardev=CHARDEV, id=new)
        self.plugged = new
        return new

    def do_mark(self, seen, name):
        self.marks[name] = seen

    def do_glitch(self, seen, name, dtr, rts):
        if name not in self.marks:
            raise Failure(f"no mark {name}")
        end = time.monotonic()
        first, changes = self.recorder.segment(self.marks[name], end)
        numbers = glitch(changes, end)
        writes = (changes[-1][3] if changes else first[3]) - first[3]
        settled = (changes[-1][0] - changes[0][0]) * 1000 if changes else 0.0
        self.glitches.append((name, numbers, writes, settled))
        steps = " ".join(f"+{(c[0] - self.marks[name]) * 1000:.1f}ms:DTR={int(c[1])},RTS={int(c[2])}"
                         for c in changes)
        want = {"DTR": dtr == "1", "RTS": rts == "1"}
        now = self.recorder.read()
        got = {"DTR": now[0], "RTS": now[1]}
        self.results.append(("PASS" if got == want else "FAIL", f"outputs-after-{name}",
                             f" {fmt_levels(got)}, expected {fmt_levels(want)}"))
        return f"from DTR={int(first[1])},RTS={int(first[2])}: {steps or 'no change'}"

    def summary(self):
        for name, numbers, writes, settled in self.glitches:
            parts = []
            for line in ("RTS", "DTR"):
                final, ms, times = numbers[line]
                if final is None:
                    parts.append(f"{line} unchanged")
                    continue
                away = "low" if final else "high"
                parts.append(f"{line} {away} for {ms:.1f} ms ({times} time{'s' if times != 1 else ''})")
            log(f"USB-GLITCH {name}: {', '.join(parts)}; final after {settled:.1f} ms; "
                f"{writes} line writes by the adapter")
        return []

    def close(self):
        self.recorder.stop()
        if self.qmp is not None:
            self.qmp.close()
        os.close(self.master)
        super().close()


def fmt_levels(levels):
    return ",".join(f"{n}={int(v)}" for n, v in levels.items())


def qemu_has_devices(qemu_bin):
    out = qemu.run([qemu_bin, "-nodefaults", "-device", "help"])
    missing = [d for d in QEMU_DEVICES if f'name "{d}"' not in out]
    if missing:
        raise Failure(f"this QEMU has no {', '.join(missing)} device: install qemu-system-x86 with USB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--service", required=True)
    parser.add_argument("--ctl", required=True, help="vserial_ctl, the virtual device's helper")
    parser.add_argument("--preload", required=True, help="libvserial_preload.so, QEMU's LD_PRELOAD")
    parser.add_argument("--work", required=True, help="folder in the build tree for the run's files")
    parser.add_argument("--cache", required=True, help="folder for the kernel, kept between runs")
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--cycles", type=int, default=5, help="unplugs and plugs per driver")
    parser.add_argument("--timeout", type=float, default=900)
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    service = os.path.abspath(args.service)
    started = time.monotonic()
    try:
        qemu_bin, busybox = qemu.host_tools()
        qemu_has_devices(qemu_bin)
    except Failure as e:
        log(f"FAIL: {e}")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        vmlinuz, modules = qemu.prepare_kernel(os.path.abspath(args.cache), qemu.WANTED_MODULES + USB_MODULES)
        qemu.check_paths([here, service, os.path.abspath(args.work), vmlinuz])
    except (Failure, OSError, ValueError) as e:
        log(f"FAIL: preparing the guest kernel: {e}")
        return 1
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="usb-", dir=args.work)
    console = os.path.join(work, "console.log")
    qmp_path = os.path.join(work, "qmp.sock")
    accel, accel_args = qemu.accelerator()
    guest_args = ["--service", service, "--accel", accel, "--cycles", str(args.cycles)]
    init = qemu.guest_init(modules, os.path.join(here, "usb_guest_checks.py"), guest_args,
                           qemu.kept_paths(here, service))
    initramfs = os.path.join(work, "initramfs.cpio")
    qemu.make_initramfs(initramfs, busybox, modules, init)

    usb = None
    try:
        usb = UsbHost(os.path.abspath(args.ctl), os.path.abspath(args.preload), os.path.join(work, "devices"),
                      qmp_path)
        cmd = qemu.qemu_command(qemu_bin, accel_args, vmlinuz, initramfs,
                                "console=ttyS0,115200 panic=-1 quiet loglevel=4", console)
        cmd += ["-device", "qemu-xhci,id=xhci",
                "-chardev", f"serial,id={CHARDEV},path={usb.tty}",
                "-device", f"usb-serial,chardev={CHARDEV},id={usb.plugged}",
                "-qmp", f"unix:{qmp_path},server=on,wait=off"]
        log(f"booting {os.path.basename(vmlinuz)} under {accel} (console: {console}, FT232's chardev: {usb.tty})")
        return qemu.run_guest(cmd, work, console, args.timeout, args.artifacts, started, accel,
                              name="qemu_usb_drivers", prefix="usb-", com2=usb)
    except (Failure, OSError) as e:
        log(f"FAIL: {e}")
        return 1
    finally:
        if usb is not None:
            usb.close()


if __name__ == "__main__":
    sys.exit(main())
