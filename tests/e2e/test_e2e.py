#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end test of the real rs232-phone-home executable.

Each group starts the program afresh on a private Xvfb, with a virtual serial
device as /dev/com3 (vserial_ctl + the preload library), drives it with
xdotool, reads colours from screenshots (ImageMagick's import), reads error
numbers from the message box's title ("Error N - ..."), and ends by closing the window,
which must end the program with status 0. Where to click and look comes from
the controls' rectangles in the Designer form (--form).

The notification scripts are the test's own: the program runs inside a
private mount namespace (unshare -m, or -rm when not root) where a temporary
folder is bind-mounted over /etc/rs232-phone-home. Where that folder does not
exist on the machine, a throw-away overlay (upper layer on a tmpfs of the
namespace) is laid over /etc first and the folder made in it. /var/lock gets
an empty tmpfs too, so a port lock held by any other program on the machine
(QSerialPort's LCK..com3) cannot get in the way. Nothing of it is seen outside
the namespace, and it all goes with the last process in it.

Standard library only. On failure, screenshots (PNG), the program's output
and the scripts' markers are kept under --artifacts and their paths printed.
"""

import argparse
import collections
import ctypes
import ctypes.util
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET
import zlib

TITLE = "RS232 In Out Port Test and Phone Home"
TITLE_RE = "^" + re.escape(TITLE) + "$"
# The main window and its error boxes, whose titles carry the error number.
WINDOWS_RE = "^(Error [0-9]+ - )?" + re.escape(TITLE) + "$"
# Where the program puts its client area: its own choice, not the form's.
CLIENT_POS = (609, 193)
SCRIPT_DIR = "/etc/rs232-phone-home"

BLACK, GREEN, RED = (0, 0, 0), (0, 255, 0), (255, 0, 0)
COLOUR_NAMES = {BLACK: "black", GREEN: "green", RED: "red"}

# Controls by objectName in the form; their rectangles come from it (Form).
COMBO, OPEN, CLOSE = "Combo1", "Command1", "Command2"
DISCS = ["Shape1", "Shape2", "Shape3"]
DTR_BOX, RTS_BOX = "Check1", "Check2"
SWITCH = "CmdCallEnable"
STATUS = ["Label13", "Label14", "Label15"]
TEXTS = ["TxtFire", "TxtFlood", "TxtIntrusion"]
TEST_BUTTONS = ["cmdSmoke", "cmdFlood", "cmdIntrusion"]
CONTROLS = [COMBO, OPEN, CLOSE, *DISCS, DTR_BOX, RTS_BOX, SWITCH, *STATUS, *TEXTS, *TEST_BUTTONS]
CHANNELS = [("fire", "Fire.sh"), ("flood", "Flood.sh"), ("intrusion", "Intruder.sh")]


class Failure(Exception):
    pass


class Form:
    """The Designer form's control rectangles, in client coordinates.

    A child's geometry is relative to the widget holding it (group box, frame),
    so the positions around it add up; the top-level widget's own position is
    the window's and is left out. Controls placed by a layout are not kept."""

    def __init__(self, path):
        self.path = path
        try:
            top = ET.parse(path).getroot().find("widget")
        except (OSError, ET.ParseError) as e:
            raise Failure(f"cannot read the form {path}: {e}; give its path with --form") from None
        if top is None or self.geometry(top) is None:
            raise Failure(f"{path}: no top-level widget with a geometry")
        self.size = self.geometry(top)[2:]
        self.rects = {}
        self.collect(top, 0, 0)

    @staticmethod
    def geometry(widget):
        rect = widget.find("property[@name='geometry']/rect")
        return None if rect is None else tuple(int(rect.findtext(k)) for k in ("x", "y", "width", "height"))

    def collect(self, parent, ox, oy):
        for child in parent.findall("widget"):
            g = self.geometry(child)
            if g is not None:
                x, y, w, h = g
                self.rects[child.get("name")] = (ox + x, oy + y, w, h)
                self.collect(child, ox + x, oy + y)

    def rect(self, name):
        if name not in self.rects:
            raise Failure(f"{self.path}: no control {name!r} with a fixed geometry")
        return self.rects[name]


def centre(rect):
    x, y, w, h = rect
    return x + w // 2, y + h // 2


def wait_for(what, probe, timeout):
    """Polls probe() -> (ok, detail) until ok; fails with the last detail."""
    deadline = time.monotonic() + timeout
    while True:
        ok, detail = probe()
        if ok:
            return detail
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not within {timeout:g} s ({detail})")
        time.sleep(0.05)


def hold(what, probe, duration):
    """probe() must stay ok for the whole duration."""
    deadline = time.monotonic() + duration
    while True:
        ok, detail = probe()
        if not ok:
            raise Failure(f"{what}: broke ({detail})")
        if time.monotonic() > deadline:
            return
        time.sleep(0.1)


def die_with_parent():
    # If CTest kills the test, its helpers must not outlive it.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


# ---------------------------------------------------------------- images

class Image:
    def __init__(self, ppm, origin):
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", ppm)
        if not m or m.group(3) != b"255":
            raise Failure("screenshot is not an 8-bit PPM")
        self.w, self.h = int(m.group(1)), int(m.group(2))
        self.data = ppm[m.end():]
        self.ox, self.oy = origin  # client area's top-left on the screen

    def px(self, x, y):
        """Pixel at client coordinates."""
        i = ((y + self.oy) * self.w + x + self.ox) * 3
        return tuple(self.data[i:i + 3])

    def pixels(self, rect, inset=0):
        x, y, w, h = rect
        for yy in range(y + inset, y + h - inset):
            for xx in range(x + inset, x + w - inset):
                yield self.px(xx, yy)

    def count(self, rect, colour, inset=0):
        return sum(1 for p in self.pixels(rect, inset) if p == colour)

    def colours(self, rect, inset=0):
        return set(self.pixels(rect, inset))

    def crop_abs(self, x, y, w, h):
        rows = [self.data[((y + r) * self.w + x) * 3:((y + r) * self.w + x + w) * 3] for r in range(h)]
        return w, h, rows

    def save_png(self, path):
        write_png(path, self.w, self.h, [self.data[r * self.w * 3:(r + 1) * self.w * 3] for r in range(self.h)])


def write_png(path, w, h, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    raw = b"".join(b"\x00" + bytes(r) for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------- X server

class Xserver:
    def __init__(self, log_path):
        r, w = os.pipe()
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
            preexec_fn=die_with_parent)
        os.close(w)
        try:
            number = b""
            deadline = time.monotonic() + 30
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([r], [], [], left)[0]:
                    raise Failure(f"Xvfb did not report a display within 30 s")
                chunk = os.read(r, 16)
                if not chunk:
                    raise Failure(f"Xvfb exited before reporting a display")
                number += chunk
        except Failure as e:
            self.stop()
            with open(log_path, errors="replace") as f:
                raise Failure(f"{e}: {f.read()[-600:].strip()!r}") from None
        finally:
            os.close(r)
        self.display = ":" + number.decode().strip()
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": self.display}

    def run(self, *args, check=True, timeout=20):
        p = subprocess.run(list(args), env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=timeout)
        if check and p.returncode != 0:
            raise Failure(f"{' '.join(args)} failed: {p.stderr.decode(errors='replace').strip()}")
        return p.stdout.decode(errors="replace")

    def xdo(self, *args, check=True):
        return self.run("xdotool", *args, check=check)

    def visible_windows(self):
        out = self.xdo("search", "--onlyvisible", "--name", WINDOWS_RE, check=False)
        return [int(w) for w in out.split()]

    def name(self, wid):
        return self.xdo("getwindowname", str(wid), check=False).strip()

    def geometry(self, wid):
        out = self.xdo("getwindowgeometry", "--shell", str(wid))
        g = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])

    def screenshot(self, origin):
        ppm = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env,
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=30, check=True).stdout
        return Image(ppm, origin)

    def close_window(self, wid):
        # No window manager: send WM_DELETE_WINDOW the way one would.
        x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                        ("message_type", ctypes.c_ulong), ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        dpy = x11.XOpenDisplay(self.display.encode())
        if not dpy:
            raise Failure(f"cannot open display {self.display}")
        try:
            ev = Event()
            ev.xclient.type = 33  # ClientMessage
            ev.xclient.window = wid
            ev.xclient.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ev.xclient.format = 32
            ev.xclient.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            x11.XSendEvent(dpy, wid, 0, 0, ctypes.byref(ev))
            x11.XFlush(dpy)
        finally:
            x11.XCloseDisplay(dpy)

    def stop(self):
        stop_process(self.proc)
        self.log.close()


def stop_process(proc, grace=5):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


# ---------------------------------------------------------------- device

class Device:
    """vserial_ctl: one virtual serial device, aliased as /dev/com3."""

    def __init__(self, ctl, parent_dir):
        self.proc = subprocess.Popen([ctl, parent_dir, "/dev/com3"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, preexec_fn=die_with_parent)
        self.buf = b""
        ready = self.readline()
        if not ready.startswith("ready "):
            raise Failure(f"vserial_ctl: {ready}")

    def readline(self, timeout=10):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise Failure("vserial_ctl did not answer")
            chunk = os.read(fd, 256)
            if not chunk:
                raise Failure("vserial_ctl exited")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.decode()

    def ask(self, command):
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()
        answer = self.readline()
        if answer.startswith("error"):
            raise Failure(f"vserial_ctl {command!r}: {answer}")
        return answer

    def inputs(self, cts, dsr, dcd):
        self.ask(f"inputs {int(cts)} {int(dsr)} {int(dcd)}")

    def outputs(self):
        return self.ask("dtr?") == "1", self.ask("rts?") == "1"

    def ioctls(self):
        return int(self.ask("ioctls?"))

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()  # end of input: removes the device and exits
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        stop_process(self.proc)
        self.proc.stdout.close()


# ---------------------------------------------------------------- program

# Runs in the new mount namespace, then becomes the program.
NAMESPACE_SETUP = r'''
set -eu
work=$1; shift
mount --make-rprivate /
if [ ! -d /etc/rs232-phone-home ]; then
    # Not on this machine: make it in a throw-away layer over /etc.
    mkdir -p "$work/etc-layer"
    mount -t tmpfs e2e-etc-layer "$work/etc-layer"
    mkdir "$work/etc-layer/upper" "$work/etc-layer/work"
    mount -t overlay e2e-etc -o "lowerdir=/etc,upperdir=$work/etc-layer/upper,workdir=$work/etc-layer/work" /etc
    mkdir /etc/rs232-phone-home
fi
mount --bind "$work/scripts" /etc/rs232-phone-home
# Port locks of our own (another program holding LCK..com3 must not fail us),
# in a folder the test can look into.
if [ -d /var/lock ]; then mount --bind "$work/locks" /var/lock; fi
exec "$@"
'''

MARKER_SCRIPT = '''#!/bin/sh
# Written by the end-to-end test: one line per run.
echo "$$ ${PHONE_HOME_CHANNEL:-none} ${PHONE_HOME_REASON:-none} $0 $(pwd)" >> "%s"
'''


class Session:
    """One run of the program with a fresh device and fresh scripts."""

    def __init__(self, suite, name):
        self.suite, self.x, self.name = suite, suite.x, name
        self.work = tempfile.mkdtemp(prefix=f"e2e-{name}-", dir=suite.tmp)
        self.scripts = os.path.join(self.work, "scripts")
        self.markers = os.path.join(self.work, "markers")
        os.mkdir(self.scripts)
        self.locks = os.path.join(self.work, "locks")
        os.mkdir(self.locks, 0o755)
        for _, script in CHANNELS:
            self.write_script(script)
        self.log_path = os.path.join(self.work, "program.log")
        self.device, self.app, self.last_shot = None, None, None
        self.wid, self.origin, self.size = None, (0, 0), None

    def start(self):
        args = self.suite.args
        devices, runtime, home = (os.path.join(self.work, d) for d in ("devices", "runtime", "home"))
        for d in (devices, runtime, home):
            os.mkdir(d, 0o700)
        self.device = Device(args.ctl, devices)

        env = dict(self.x.env, HOME=home, XDG_RUNTIME_DIR=runtime, LANG="C.UTF-8", QT_QPA_PLATFORM="xcb",
                   LD_PRELOAD=args.preload, VSERIAL_DEVICES=devices)
        # A sanitizer build needs its options (the preload comes before ASan).
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]
        with open(self.log_path, "wb") as log:
            # unshare and sh exec, so this pid and status are the program's own.
            self.app = subprocess.Popen(unshare + ["sh", "-c", NAMESPACE_SETUP, "sh", self.work, args.app],
                                        env=env, cwd=self.work, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT, preexec_fn=die_with_parent)

        def main_window():
            self.check_running()
            wins = self.x.visible_windows()
            return len(wins) == 1, f"windows titled {TITLE!r}: {wins}"
        wait_for("the main window appears", main_window, 30)
        self.wid = self.x.visible_windows()[0]
        x, y, w, h = self.x.geometry(self.wid)
        self.origin, self.size = (x, y), (w, h)

    # -- scripts

    def write_script(self, script):
        path = os.path.join(self.scripts, script)
        with open(path, "w") as f:
            f.write(MARKER_SCRIPT % self.markers)
        os.chmod(path, 0o755)

    def runs(self):
        """Marker lines: (pid, channel, reason, script path, working dir)."""
        if not os.path.exists(self.markers):
            return []
        with open(self.markers) as f:
            return [tuple(int(v) if i == 0 else v for i, v in enumerate(line.split()))
                    for line in f if line.strip()]

    def expect_runs(self, what, expected, timeout=3, settle=1.0):
        """Exactly these (channel, reason) runs so far, in any order, and no more after settle s."""
        def summary(runs):
            counts = collections.Counter(f"{channel}/{reason}" for channel, reason in runs)
            return ", ".join(f"{k} x{n}" for k, n in sorted(counts.items())) or "none"

        def probe():
            got = sorted((r[1], r[2]) for r in self.runs())
            return got == sorted(expected), f"runs: {summary(got)}; expected: {summary(expected)}"
        wait_for(what, probe, timeout)
        hold(what + " (and no more)", probe, settle)
        for pid, channel, reason, script, cwd in self.runs():
            name = dict(CHANNELS)[channel]
            if script != f"{SCRIPT_DIR}/{name}" or cwd != SCRIPT_DIR:
                raise Failure(f"{what}: {channel} ran {script} in {cwd}, expected {SCRIPT_DIR}/{name} in {SCRIPT_DIR}")

    # -- program

    def check_running(self):
        if self.app.poll() is not None:
            with open(self.log_path, errors="replace") as f:
                tail = f.read()[-600:].strip()
            raise Failure(f"the program ended (status {self.app.returncode}); its output: {tail!r}")

    def shot(self):
        self.last_shot = self.x.screenshot(self.origin)
        return self.last_shot

    def rect(self, name):
        return self.suite.form.rect(name)

    def click(self, name):
        self.click_at(self.rect(name))

    def click_at(self, rect):
        self.check_running()
        cx, cy = centre(rect)
        self.x.xdo("mousemove", str(self.origin[0] + cx), str(self.origin[1] + cy), "click", "1")

    def type_port(self, text):
        # Well inside the edit field, away from the arrow.
        x, y, w, h = self.rect(COMBO)
        self.click_at((x, y, w - 30, h))
        self.x.xdo("key", "ctrl+a")
        self.x.xdo("type", "--delay", "30", text)

    def open_port(self, text=None):
        if text is not None:
            self.type_port(text)
        self.click(OPEN)

    def discs(self):
        img = self.shot()
        names = []
        for cx, cy in (centre(self.rect(disc)) for disc in DISCS):
            patch = {img.px(cx + dx, cy + dy) for dx in range(-5, 6) for dy in range(-5, 6)}
            if len(patch) == 1:
                colour = next(iter(patch))
                names.append(COLOUR_NAMES.get(colour, str(colour)))
            else:
                names.append(f"mixed ({len(patch)} colours)")
        return names

    def expect_discs(self, what, expected, timeout=3):
        wait_for(what, discs_are(self, expected), timeout)

    def expect_outputs(self, what, dtr, rts, timeout=3):
        def probe():
            got = self.device.outputs()
            return got == (dtr, rts), f"DTR, RTS on the device {got}, expected {(dtr, rts)}"
        wait_for(what, probe, timeout)

    def alarm_view(self):
        """Per channel: status colour and whether its text box holds text."""
        img = self.shot()
        view = []
        for status, text in zip(map(self.rect, STATUS), map(self.rect, TEXTS)):
            n = status[2] * status[3]
            colour = "green" if img.count(status, GREEN) > n // 2 else "red" if img.count(status, RED) > n // 2 else "-"
            # Empty boxes are plain red inside their frame; text adds other pixels.
            written = sum(1 for p in img.pixels(text, inset=4) if p != RED) > 20
            view.append((colour, written))
        return view

    def expect_alarm_view(self, what, expected, timeout=3):
        def probe():
            got = self.alarm_view()
            return got == expected, f"(status, text shown) {got}, expected {expected}"
        wait_for(what, probe, timeout)

    def error_box(self, timeout=5):
        def probe():
            self.check_running()
            others = [w for w in self.x.visible_windows() if w != self.wid]
            return len(others) == 1, f"other windows titled {TITLE!r}: {others}"
        wait_for("an error box appears", probe, timeout)
        return [w for w in self.x.visible_windows() if w != self.wid][0]

    def expect_error(self, number, what):
        """An error box with this number shows; Return dismisses it; the program runs on."""
        box = self.error_box()
        text = wait_for(f"{what}: the error box says 'Error {number}'",
                        lambda: self.read_box(box, number), 5)
        self.x.xdo("windowfocus", str(box))
        self.x.xdo("key", "Return")

        def gone():
            self.check_running()
            wins = self.x.visible_windows()
            return wins == [self.wid], f"windows titled {TITLE!r}: {wins}"
        wait_for(f"{what}: the error box goes on Return", gone, 5)
        hold(f"{what}: the program keeps running", gone, 0.3)
        return text

    def read_box(self, box, number):
        name = self.x.name(box)
        m = re.match(r"Error ([0-9]+) - ", name)
        return (m is not None and m.group(1) == str(number)), f"box title {name!r}"

    def close(self):
        """Closing the window must end the program with status 0."""
        if self.app.returncode is not None:
            return  # the group ended it itself
        self.check_running()
        self.x.close_window(self.wid)
        try:
            status = self.app.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure("closing the window did not end the program within 10 s")
        if status != 0:
            raise Failure(f"closing the window ended the program with status {status}")

    def stop(self):
        if self.app is not None:
            stop_process(self.app)
        if self.device is not None:
            self.device.stop()

    def keep(self, dest):
        """Artifacts of a failed group."""
        os.makedirs(dest, exist_ok=True)
        kept = []
        if self.last_shot is not None:
            path = os.path.join(dest, "last-checked.png")
            self.last_shot.save_png(path)
            kept.append(path)
        try:
            path = os.path.join(dest, "at-failure.png")
            self.x.screenshot(self.origin).save_png(path)
            kept.append(path)
        except Exception as e:  # the failure itself may be a dead X server
            print(f"    (no screenshot at failure: {e})")
        for src, name in ((self.log_path, "program.log"), (self.markers, "script-runs.txt")):
            if os.path.exists(src):
                shutil.copy(src, os.path.join(dest, name))
                kept.append(os.path.join(dest, name))
        return kept


# ---------------------------------------------------------------- groups

ALL_LOW = ["green", "green", "green"]
QUIET = [("green", False)] * 3


def discs_are(s, expected):
    def probe():
        got = s.discs()
        return got == expected, f"discs {got}, expected {expected}"
    return probe


def start_up(s):
    """Window, its place, black discs and the hidden alarm section."""
    if s.size != s.suite.form.size:
        raise Failure(f"client area {s.size}, expected the form's {s.suite.form.size}")
    if s.origin != CLIENT_POS:
        raise Failure(f"client area at {s.origin}, expected {CLIENT_POS}")
    s.expect_discs("three black discs before any port is open", ["black"] * 3, timeout=1)
    img = s.shot()
    for i, (status, text, button) in enumerate(zip(STATUS, TEXTS, TEST_BUTTONS)):
        if img.count(s.rect(status), GREEN) or img.count(s.rect(text), RED):
            raise Failure(f"alarm section of channel {i + 1} is shown at start-up")
        if len(img.colours(s.rect(button))) != 1:
            raise Failure(f"test button {i + 1} is drawn at start-up")


def lines_in_and_out(s):
    """Port 3 is /dev/com3: discs follow each input, DTR and RTS follow the boxes."""
    s.open_port("3")
    s.expect_discs("discs after opening port 3 with all inputs low", ALL_LOW)
    s.expect_outputs("outputs are low after opening with both boxes clear", False, False)
    # Patterns that tell each channel apart from its neighbours.
    for cts, dsr, dcd in ((1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 0, 1), (0, 1, 1), (0, 0, 0)):
        s.device.inputs(cts, dsr, dcd)
        expected = ["red" if v else "green" for v in (cts, dsr, dcd)]
        s.expect_discs(f"discs for CTS={cts} DSR={dsr} DCD={dcd}", expected)
    s.click(DTR_BOX)
    s.expect_outputs("DTR ticked", True, False)
    s.click(RTS_BOX)
    s.expect_outputs("RTS ticked as well", True, True)
    s.click(DTR_BOX)
    s.expect_outputs("DTR cleared, RTS still ticked", False, True)

    # Closing stops polling; the window keeps the last reading.
    s.device.inputs(1, 0, 0)
    s.expect_discs("CTS high before closing", ["red", "green", "green"])
    s.click(CLOSE)
    s.expect_outputs("Close Port releases the device", False, False)
    s.device.inputs(0, 1, 1)
    hold("discs keep the last reading after Close Port", discs_are(s, ["red", "green", "green"]), 0.8)


def one_alarm(s):
    """Enabled: an alarm runs its script once per onset, and only while enabled."""
    s.open_port("3")
    s.expect_discs("port 3 open", ALL_LOW)
    s.device.inputs(1, 0, 0)
    s.expect_discs("CTS high while disabled", ["red", "green", "green"])
    s.expect_runs("no script runs while notifications are disabled", [], timeout=0, settle=0.8)
    s.device.inputs(0, 0, 0)
    s.expect_discs("CTS low again", ALL_LOW)

    s.click(SWITCH)
    s.expect_alarm_view("alarm section shows all NORMAL after Enabled", QUIET)
    s.device.inputs(1, 0, 0)
    s.expect_alarm_view("CTS high: fire in alarm, its box says so", [("red", True), ("green", False), ("green", False)])
    s.expect_runs("CTS high runs Fire.sh once", [("fire", "alarm")])
    s.device.inputs(0, 0, 0)
    s.expect_alarm_view("CTS low: all NORMAL, boxes empty", QUIET)
    s.expect_runs("CTS low runs nothing", [("fire", "alarm")], timeout=0)

    s.device.inputs(1, 0, 0)
    s.expect_runs("a second onset runs Fire.sh again", [("fire", "alarm")] * 2)
    s.device.inputs(0, 0, 0)
    s.expect_alarm_view("all NORMAL again", QUIET)

    # Switching on while a channel is already in alarm sends for it once.
    s.click(SWITCH)
    s.device.inputs(0, 1, 0)
    s.expect_discs("DSR high while disabled", ["green", "red", "green"])
    s.expect_runs("disabled again: DSR high runs nothing", [("fire", "alarm")] * 2, timeout=0, settle=0.5)
    s.click(SWITCH)
    s.expect_runs("enabling during a flood alarm runs Flood.sh once",
                  [("fire", "alarm")] * 2 + [("flood", "alarm")])
    s.device.inputs(0, 0, 0)
    s.expect_alarm_view("all NORMAL before two channels rise", QUIET)


def two_channels(s):
    """CTS and DCD rising in one reading start fire, then intrusion."""
    s.open_port("3")
    s.click(SWITCH)
    s.expect_alarm_view("all NORMAL after Enabled", QUIET)
    s.device.inputs(1, 0, 1)
    s.expect_alarm_view("fire and intrusion in alarm", [("red", True), ("green", False), ("red", True)])
    s.expect_runs("Fire.sh and Intruder.sh once each", [("fire", "alarm"), ("intrusion", "alarm")])
    # Detached scripts may write in any order; pids are handed out in start order.
    pids = {channel: pid for pid, channel, *_ in s.runs()}
    with open("/proc/sys/kernel/pid_max") as f:
        pid_max = int(f.read())
    if not 0 < (pids["intrusion"] - pids["fire"]) % pid_max < pid_max // 2:
        raise Failure(f"intrusion (pid {pids['intrusion']}) started before fire (pid {pids['fire']})")


def test_buttons(s):
    """Each press runs its script once with reason test, only while Enabled."""
    img = s.shot()
    for i, button in enumerate(TEST_BUTTONS):
        if len(img.colours(s.rect(button))) != 1:
            raise Failure(f"test button {i + 1} is drawn while Disabled")
    s.click(SWITCH)
    for i, button in enumerate(TEST_BUTTONS):
        wait_for(f"test button {i + 1} is drawn after Enabled",
                 lambda: (len(s.shot().colours(s.rect(button))) > 1, "plain background"), 3)
    expected = []
    for button, (channel, _) in zip(TEST_BUTTONS, CHANNELS):
        s.click(button)
        expected.append((channel, "test"))
        s.expect_runs(f"pressing the {channel} test button", expected, settle=0.3)
    s.click(TEST_BUTTONS[1])
    s.click(TEST_BUTTONS[1])
    expected += [("flood", "test")] * 2
    s.expect_runs("two more presses of the flood test button", expected)

    s.click(SWITCH)
    wait_for("test buttons hidden again after Disabled",
             lambda: (all(len(s.shot().colours(s.rect(b))) == 1 for b in TEST_BUTTONS), "still drawn"), 3)
    s.expect_runs("switching off runs nothing", expected, timeout=0, settle=0.3)


def open_faults(s):
    """Refused port numbers each show their error; the program carries on."""
    s.click(OPEN)  # the box still reads "Select Port"
    s.expect_error(201, "opening with 'Select Port'")
    s.open_port("99999")
    s.expect_error(100, "opening port 99999")
    s.open_port("9")  # /dev/ttyS8: refused by the preload like a missing device
    s.expect_error(202, "opening port 9")
    if s.device.ioctls() != 0:
        raise Failure("a refused port number reached the device")
    s.open_port("3")
    s.expect_discs("port 3 opens after the errors", ALL_LOW)
    s.device.inputs(0, 0, 1)
    s.expect_discs("and is polled", ["green", "green", "red"])


def device_vanishes(s):
    """Unplugged while polling: error 206, polling stops, Open Port recovers."""
    s.open_port("3")
    s.expect_discs("port 3 open", ALL_LOW)
    s.device.ask("vanish 1")
    s.expect_error(206, "the device vanishing")
    count = s.device.ioctls()
    s.device.ask("vanish 0")
    s.device.inputs(1, 0, 0)
    hold("no line ioctls after the device failed",
         lambda: (s.device.ioctls() == count, f"{s.device.ioctls() - count} more"), 0.4)
    hold("discs keep the reading from before the failure", discs_are(s, ALL_LOW), 0.4)
    s.click(OPEN)
    s.expect_discs("Open Port works again once the device is back", ["red", "green", "green"])


def missing_script(s):
    """A missing script is reported (301) instead of silently not sent."""
    os.remove(os.path.join(s.scripts, "Fire.sh"))
    s.click(SWITCH)
    wait_for("fire test button drawn",
             lambda: (len(s.shot().colours(s.rect(TEST_BUTTONS[0]))) > 1, "plain background"), 3)
    s.click(TEST_BUTTONS[0])
    s.expect_error(301, "pressing the fire test button without Fire.sh")
    s.click(TEST_BUTTONS[1])
    s.expect_runs("the flood script still runs", [("flood", "test")])
    s.open_port("3")
    s.expect_discs("port 3 open", ALL_LOW)
    s.device.inputs(1, 0, 0)
    s.expect_error(301, "a fire alarm without Fire.sh")
    s.expect_runs("nothing ran for the fire alarm", [("flood", "test")], timeout=0, settle=0.3)


def signal_ends_in_order(s):
    """SIGTERM with DTR and RTS high: outputs lowered, lock gone, status 0.

    The port is set to -hupcl, so closing alone would leave the outputs up."""
    if s.device.ask("hupcl 0") != "ok":
        raise Failure("could not clear HUPCL on the virtual device")
    s.open_port("3")
    s.click(DTR_BOX)
    s.click(RTS_BOX)
    s.expect_outputs("both outputs high before the signal", True, True)
    lock = os.path.join(s.locks, "LCK..com3")
    wait_for("the port's lock file is there", lambda: (os.path.exists(lock), os.listdir(s.locks)), 3)
    s.app.send_signal(signal.SIGTERM)
    try:
        status = s.app.wait(10)
    except subprocess.TimeoutExpired:
        raise Failure("SIGTERM did not end the program within 10 s")
    if status != 0:
        raise Failure(f"SIGTERM ended the program with status {status}, expected 0")
    if s.device.outputs() != (False, False):
        raise Failure(f"outputs after SIGTERM: DTR, RTS = {s.device.outputs()}, expected both low")
    if os.path.exists(lock):
        raise Failure("the lock file outlived the program")


GROUPS = [
    ("start-up", start_up),
    ("lines-in-and-out", lines_in_and_out),
    ("one-alarm", one_alarm),
    ("two-channels", two_channels),
    ("test-buttons", test_buttons),
    ("open-faults", open_faults),
    ("device-vanishes", device_vanishes),
    ("missing-script", missing_script),
    ("signal-ends-in-order", signal_ends_in_order),
]


# ---------------------------------------------------------------- runner

class Suite:
    def __init__(self, args, form):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="rs232-e2e-")
        self.x = None
        self.form = form


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app", required=True)
    parser.add_argument("--ctl", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--form", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                       os.pardir, os.pardir, "app", "main_window.ui"),
                        help="the main window's Designer form (.ui)")
    parser.add_argument("--artifacts", default=os.environ.get("PHONE_HOME_E2E_ARTIFACTS", "e2e-artifacts"))
    parser.add_argument("--only", action="append", help="run only these groups")
    args = parser.parse_args()
    args.artifacts = os.path.abspath(os.environ.get("PHONE_HOME_E2E_ARTIFACTS", args.artifacts))
    args.app, args.ctl, args.preload, args.form = (os.path.abspath(p) for p in
                                                   (args.app, args.ctl, args.preload, args.form))

    missing = [t for t in ("Xvfb", "xdotool", "import", "unshare", "mount") if not shutil.which(t)]
    if missing:
        print(f"FAIL: missing tools {missing}: run tools/setup.sh")
        return 1
    # SIGTERM from CTest should still clean up.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    host_dir_existed = os.path.lexists(SCRIPT_DIR)
    for name, _ in GROUPS:  # only what an earlier run of ours left
        shutil.rmtree(os.path.join(args.artifacts, name), ignore_errors=True)
    try:
        form = Form(args.form)
        for name in CONTROLS:  # a control renamed in Designer fails here, not mid-group
            form.rect(name)
    except Failure as e:
        print(f"FAIL form: {e}")
        return 1
    suite = Suite(args, form)
    passed, failed = 0, 0
    started = time.monotonic()
    try:
        suite.x = Xserver(os.path.join(suite.tmp, "xvfb.log"))
        for name, group in GROUPS:
            if args.only and name not in args.only:
                continue
            t0 = time.monotonic()
            session = None
            try:
                session = Session(suite, name)
                session.start()
                group(session)
                session.close()
                passed += 1
                print(f"PASS {name} ({time.monotonic() - t0:.1f} s)", flush=True)
            except Exception as e:
                failed += 1
                print(f"FAIL {name}: {e}", flush=True)
                if not isinstance(e, Failure):
                    traceback.print_exc()
                if session is not None:
                    for path in session.keep(os.path.join(args.artifacts, name)):
                        print(f"    kept {path}", flush=True)
            finally:
                if session is not None:
                    session.stop()
        if os.path.lexists(SCRIPT_DIR) != host_dir_existed:
            failed += 1
            print(f"FAIL host: {SCRIPT_DIR} changed outside the test's namespace")
    finally:
        if suite.x is not None:
            suite.x.stop()
        shutil.rmtree(suite.tmp, ignore_errors=True)
    print(f"e2e run time {time.monotonic() - started:.1f} s")
    print(f"e2e: {passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
