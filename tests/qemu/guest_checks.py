#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The guest side of the real-driver test (see run_qemu_test.py).

Runs in the QEMU guest as root, changed into the host's read-only root with
the guest's own /dev, /proc, /sys and scratch tmpfs over it. Starts Xvfb and
the real program, opens port 2 (/dev/ttyS1: the kernel's 8250 driver on an
emulated 16550A whose inputs follow a virtual device on the host, held high
there as an unconnected UART reads them) and drives its inputs through the
UART's loopback with uart_ctl: in loopback DTR shows as DSR, RTS as CTS and
OUT2 as DCD. The window is driven with xdotool as in tests/e2e; disc colours
are read straight from the X server, and the kernel's view of the lines from
/proc/tty/driver/serial, which does not open the port (reading it makes QEMU
read the host's device). Then the window program ends and the service,
rs232-phone-homed, gets the same port with DTR and RTS held high and
notification scripts of the test's own. Last, out of loopback, the host
drives the inputs: the guest asks with "QEMU-HOST ..." lines on the console,
the host makes DSR pulses, and a service whose Flood.sh writes a line to the
console must catch every one.

Prints one line per check to the console: "QEMU-CHECK PASS|FAIL name detail".
"""

import argparse
import ctypes
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import test_e2e as e2e  # noqa: E402
from test_e2e import CLOSE, COMBO, DISCS, DTR_BOX, OPEN, RTS_BOX, Failure, Form, hold, wait_for  # noqa: E402

# Where the controls are: read from the Designer form, as the end-to-end test does.
FORM = Form(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "app", "main_window.ui"))
DISC_CENTRES = [e2e.centre(FORM.rect(name)) for name in DISCS]

DEVICE = "/dev/ttyS1"  # port 2
KERNEL_LINE = 1        # its line in /proc/tty/driver/serial
TICK = 0.1             # the program's polling interval
SERVICE_TICK = 1.0     # the service's tick while the driver wakes it on edges
BLACK, GREEN, RED = (0, 0, 0), (0, 255, 0), (255, 0, 0)
NAMES = {BLACK: "black", GREEN: "green", RED: "red"}


def report(result, name, detail=""):
    print(f"QEMU-CHECK {result} {name}{' ' + detail if detail else ''}", flush=True)


def run_checks(make_guest, checks, after_failure, before_close=lambda g, failed: None):
    """Makes the guest's bench with make_guest() and runs each (name, check) on it,
    reporting each with its time; after_failure(g) prints what helps to read a
    failed check, before_close(g, failed) what helps at the end. The exit status."""
    g = None
    failed = False
    try:
        g = make_guest()
        for name, check in checks:
            t0 = time.monotonic()
            try:
                detail = check(g)
                report("PASS", name, f"({time.monotonic() - t0:.1f} s){': ' + detail if detail else ''}")
            except Exception as e:
                failed = True
                report("FAIL", name, f"({time.monotonic() - t0:.1f} s) {e}")
                if not isinstance(e, Failure):
                    traceback.print_exc(file=sys.stdout)
                after_failure(g)
    except Exception as e:
        failed = True
        report("FAIL", "guest-setup", str(e))
        if not isinstance(e, Failure):
            traceback.print_exc(file=sys.stdout)
    finally:
        if g is not None:
            before_close(g, failed)
            g.close()
    return 1 if failed else 0


class Screen:
    """Pixels of the X server's root window, read in-process: a screenshot
    program per look would take seconds under emulation."""

    def __init__(self, display):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype = ctypes.c_ulong
        x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x11.XGetImage.restype = ctypes.c_void_p
        x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                  ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x11.XGetPixel.restype = ctypes.c_ulong
        x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        x11.XDestroyImage.argtypes = [ctypes.c_void_p]
        self.x11 = x11
        self.dpy = x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise Failure(f"cannot open display {display}")
        self.root = x11.XDefaultRootWindow(self.dpy)

    def grab(self, x, y, w, h):
        """Rows of (r, g, b) for the rectangle, in screen coordinates."""
        img = self.x11.XGetImage(self.dpy, self.root, x, y, w, h, 0xFFFFFFFF, 2)  # AllPlanes, ZPixmap
        if not img:
            raise Failure(f"XGetImage of {w}x{h} at {x},{y} failed")
        try:
            rows = []
            for yy in range(h):
                row = []
                for xx in range(w):
                    p = self.x11.XGetPixel(img, xx, yy)
                    row.append(((p >> 16) & 255, (p >> 8) & 255, p & 255))
                rows.append(row)
            return rows
        finally:
            self.x11.XDestroyImage(img)


def kernel_lines():
    """The port's lines as the 8250 driver reports them: DTR and RTS as it
    set them, CTS, DSR and CD as read from the UART."""
    with open("/proc/tty/driver/serial") as f:
        for line in f:
            m = re.match(r"\s*(\d+): (.*)$", line)
            if m and int(m.group(1)) == KERNEL_LINE:
                if "uart:16550A" not in m.group(2):
                    raise Failure(f"{DEVICE} is not a 16550A: {line.strip()!r}")
                last = m.group(2).split()[-1]
                return set(last.split("|")) & {"RTS", "CTS", "DTR", "DSR", "CD", "RI"}
    raise Failure(f"/proc/tty/driver/serial has no line {KERNEL_LINE}")


def fmt(lines):
    return "|".join(sorted(lines)) or "none"


class Guest:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="qemu-checks-")
        self.x = e2e.Xserver(os.path.join(self.tmp, "xvfb.log"))
        self.screen = Screen(self.x.display)
        self.app, self.wid, self.origin = None, None, (0, 0)
        self.boxes = {"DTR": False, "RTS": False}
        self.log_path = os.path.join(self.tmp, "program.log")
        self.service = None

    # -- program and window

    def start(self):
        env = dict(self.x.env, HOME=os.environ.get("HOME", self.tmp), LANG="C.UTF-8", QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=os.environ.get("XDG_RUNTIME_DIR", self.tmp),
                   XDG_STATE_HOME=os.path.join(self.tmp, "state"))
        with open(self.log_path, "ab") as log:
            self.app = subprocess.Popen([self.args.app], env=env, cwd=self.tmp, stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=subprocess.STDOUT)

        def main_window():
            self.check_running()
            wins = self.x.visible_windows()
            return len(wins) == 1, f"windows: {wins}"
        wait_for("the main window appears", main_window, 90)
        self.wid = self.x.visible_windows()[0]
        x, y, _, _ = self.x.geometry(self.wid)
        self.origin = (x, y)

    def check_running(self):
        if self.app.poll() is not None:
            raise Failure(f"the program ended (status {self.app.returncode}): {self.program_output()!r}")

    def program_output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()[-800:].strip()

    def click(self, rect):
        self.check_running()
        if isinstance(rect, str):
            rect = FORM.rect(rect)
        cx, cy = e2e.centre(rect)
        self.x.xdo("mousemove", str(self.origin[0] + cx), str(self.origin[1] + cy), "click", "1")

    def open_port(self, text):
        x, y, w, h = FORM.rect(COMBO)
        self.click((x, y, w - 30, h))
        self.x.xdo("key", "ctrl+a")
        self.x.xdo("type", "--delay", "30", text)
        self.click(OPEN)

    def set_box(self, name, ticked):
        if self.boxes[name] != ticked:
            self.click(DTR_BOX if name == "DTR" else RTS_BOX)
            self.boxes[name] = ticked

    def discs(self):
        """CTS, DSR and DCD disc colours, each from an 11x11 patch at its centre."""
        xs = [cx for cx, _ in DISC_CENTRES]
        cy = DISC_CENTRES[0][1]
        left, top = self.origin[0] + min(xs) - 5, self.origin[1] + cy - 5
        rows = self.screen.grab(left, top, max(xs) - min(xs) + 11, 11)
        names = []
        for cx in xs:
            dx = cx - min(xs)
            patch = {rows[r][dx + c] for r in range(11) for c in range(11)}
            names.append(NAMES.get(next(iter(patch)), str(next(iter(patch)))) if len(patch) == 1
                         else f"mixed({len(patch)})")
        return names

    def expect_discs(self, what, expected, timeout=5):
        def probe():
            self.check_running()
            got = self.discs()
            return got == expected, f"discs CTS/DSR/DCD {got}, expected {expected}"
        wait_for(what, probe, timeout)

    def error_boxes(self):
        return [w for w in self.x.visible_windows() if w != self.wid]

    def no_error_box(self, what):
        boxes = self.error_boxes()
        if boxes:
            raise Failure(f"{what}: an error box shows: {self.x.name(boxes[0])!r}")

    def close(self):
        if self.app is not None and self.app.poll() is None:
            e2e.stop_process(self.app)
        if self.service is not None:
            self.service.stop()
        self.x.stop()

    # -- the UART

    def uart(self, *changes):
        p = subprocess.run([self.args.uart_ctl, DEVICE, *changes], capture_output=True, text=True, timeout=20)
        if p.returncode != 0:
            raise Failure(f"uart_ctl {' '.join(changes)}: {p.stderr.strip()}")
        return set(p.stdout.split())

    def expect_kernel(self, what, want, timeout=5):
        """The kernel's view holds exactly the lines in want."""
        def probe():
            got = kernel_lines()
            return got == set(want), f"kernel reports {fmt(got)}, expected {fmt(want)}"
        return wait_for(what, probe, timeout)

    def timed_change(self, what, box, ticked, disc, colour, limit):
        """Clicks a box and measures how long until the disc shows colour."""
        self.set_box(box, ticked)
        t0 = time.monotonic()

        def probe():
            got = self.discs()[disc]
            return got == colour, f"disc shows {got}"
        wait_for(what, probe, max(limit, 5))
        took = time.monotonic() - t0
        if took > limit:
            raise Failure(f"{what}: took {took:.2f} s, more than {limit:.2f} s")
        return took


def loopback_view(dtr, rts, out2=True):
    """Discs and kernel lines expected in loopback for these outputs."""
    discs = ["red" if v else "green" for v in (rts, dtr, out2)]
    lines = {n for n, v in (("DTR", dtr), ("RTS", rts), ("DSR", dtr), ("CTS", rts), ("CD", out2)) if v}
    return discs, lines


def port_opens(g):
    """Port 2 opens; the discs show the UART's inputs; DTR and RTS stay low."""
    g.open_port("2")
    wait_for("the discs leave black after Open Port", lambda: ("black" not in g.discs(), f"{g.discs()}"), 10)
    g.no_error_box("opening port 2")
    # The host's device holds the inputs high, as an unconnected UART reads them.
    g.expect_kernel("DTR and RTS stay low with both boxes clear", kernel_lines() - {"DTR", "RTS"})
    lines = kernel_lines()
    g.expect_discs("discs agree with the kernel", ["red" if n in lines else "green" for n in ("CTS", "DSR", "CD")])
    return f"kernel reports {fmt(lines)}"


def loopback_outputs(g):
    """DTR and RTS boxes light DSR and CTS within two ticks, and unlight them."""
    bits = g.uart("+loop")
    if "loop" not in bits:
        raise Failure(f"the UART did not take the loopback bit: {bits}")
    discs, lines = loopback_view(False, False)
    g.expect_discs("loopback with both outputs low", discs)
    g.expect_kernel("kernel in loopback with both outputs low", lines)
    limit = 2 * TICK + g.args.allowance
    times = [
        g.timed_change("ticking DTR lights DSR", "DTR", True, 1, "red", limit),
        g.timed_change("ticking RTS lights CTS", "RTS", True, 0, "red", limit),
        g.timed_change("unticking DTR unlights DSR", "DTR", False, 1, "green", limit),
        g.timed_change("unticking RTS unlights CTS", "RTS", False, 0, "green", limit),
    ]
    g.expect_kernel("kernel after both boxes cleared", loopback_view(False, False)[1])
    return f"slowest {max(times):.2f} s (limit {limit:.2f} s: two ticks and {g.args.allowance:.2f} s to draw)"


def dcd_follows_out2(g):
    """Clearing OUT2 drops DCD in loopback; setting it raises DCD again."""
    g.uart("-out2")
    g.expect_kernel("kernel: OUT2 cleared, so no CD", loopback_view(False, False, out2=False)[1])
    g.expect_discs("DCD disc after OUT2 cleared", loopback_view(False, False, out2=False)[0])
    g.uart("+out2")
    g.expect_kernel("kernel: OUT2 set, so CD", loopback_view(False, False)[1])
    g.expect_discs("DCD disc after OUT2 set", loopback_view(False, False)[0])


def four_combinations(g):
    """For each DTR/RTS pair the register, the inputs read back and the discs agree."""
    for dtr, rts in ((True, False), (False, True), (False, False), (True, True)):
        g.set_box("DTR", dtr)
        g.set_box("RTS", rts)
        discs, lines = loopback_view(dtr, rts)
        what = f"DTR={int(dtr)} RTS={int(rts)}"
        g.expect_kernel(f"kernel for {what}", lines)
        g.expect_discs(f"discs for {what}", discs)
        got = kernel_lines()
        # Our own open of the port must not move the outputs (read back
        # before the program's next tick could put them right).
        g.uart()
        if kernel_lines() != lines:
            raise Failure(f"uart_ctl changed the lines for {what}: kernel reports {fmt(kernel_lines())}")
        hold(f"discs stay in step with the kernel for {what}",
             lambda: (g.discs() == discs and kernel_lines() == got, f"discs {g.discs()}, kernel {fmt(kernel_lines())}"),
             0.5)


def close_drops_outputs(g):
    """Close Port lowers DTR and RTS in the UART; the window keeps its last reading."""
    g.set_box("DTR", True)
    g.set_box("RTS", True)
    discs, lines = loopback_view(True, True)
    g.expect_kernel("both outputs high before closing", lines)
    g.expect_discs("discs before closing", discs)
    g.click(CLOSE)
    # Still in loopback, DSR and CTS read the UART's own DTR and RTS bits back,
    # and the driver drops OUT2 on close.
    g.expect_kernel("Close Port drops DTR and RTS in the UART", set())
    g.no_error_box("Close Port")
    hold("discs keep the last reading after Close Port", lambda: (g.discs() == discs, f"discs {g.discs()}"), 0.6)


def close_and_reopen(g):
    """Open Port again: the ticked boxes raise DTR and RTS, and the discs follow."""
    g.click(OPEN)
    g.no_error_box("reopening port 2")
    g.uart("+loop")  # whether the program cleared it on opening or not
    discs, lines = loopback_view(True, True)
    g.expect_kernel("after reopening with both boxes ticked", lines)
    g.expect_discs("discs after reopening", discs)
    g.set_box("DTR", False)
    discs, lines = loopback_view(False, True)
    g.expect_kernel("after reopening, DTR cleared", lines)
    g.expect_discs("discs after reopening, DTR cleared", discs)
    g.set_box("RTS", False)
    g.expect_discs("discs after reopening, both cleared", loopback_view(False, False)[0])


def loop_cleared_on_open(g):
    """A loopback bit left set on the closed port is cleared when the program opens it."""
    g.click(CLOSE)
    g.expect_kernel("port closed", set())
    bits = g.uart("+loop")  # our own open and close of the idle port
    if "loop" not in bits:
        raise Failure(f"the UART did not take the loopback bit: {bits}")
    g.click(OPEN)
    # Opened (OUT2 up, so CD reads high in loopback or out of it) and DTR and
    # RTS lowered again, as both boxes are clear.
    wait_for("the program opens port 2 and lowers DTR and RTS",
             lambda: ("CD" in kernel_lines() and not kernel_lines() & {"DTR", "RTS"}, fmt(kernel_lines())), 5)
    time.sleep(3 * TICK)
    bits = g.uart()
    if "loop" in bits:
        raise Failure(f"the loopback bit is still set after Open Port: the lines read {sorted(bits)}")
    return f"lines after opening: {' '.join(sorted(bits))}"


TIOCMIWAIT = 0x545C
SYS_IOCTL = 16  # x86_64


def waiting_threads(pid):
    """Threads of pid blocked in ioctl(fd, TIOCMIWAIT, ...), from /proc."""
    waiting = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            continue
        if len(fields) > 2 and fields[0] == str(SYS_IOCTL) and int(fields[2], 16) == TIOCMIWAIT:
            waiting.append(tid)
    return waiting


def tick_ioctls(pid, tmp, tick):
    """Traces a running program for 2 s: a steady tick must ask the driver
    once (one TIOCMGET) and set nothing, and a thread of its own must wait
    in TIOCMIWAIT for the inputs. Returns what it saw."""
    if not os.path.exists("/usr/bin/strace"):
        raise Failure("strace is not installed: run tools/setup.sh")
    waiters = waiting_threads(pid)
    if len(waiters) != 1:
        raise Failure(f"threads waiting in TIOCMIWAIT: {waiters}, one expected")
    out = os.path.join(tmp, f"strace-{pid}.txt")
    # The event loop's waits are traced too: a timer tick runs between two
    # of them, so two line calls with no wait between belong to one tick.
    # (Grouping by time alone fails under emulation, where a late tick and
    # the next one can come a few milliseconds apart.)
    tracer = subprocess.Popen(["/usr/bin/strace", "-f", "-ttt", "-e", "trace=ioctl,poll,ppoll", "-o", out,
                               "-p", str(pid)], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(2.5)  # the first half second is strace attaching to every thread
    tracer.send_signal(signal.SIGINT)
    tracer.wait(20)
    calls = []
    with open(out) as f:
        for line in f:
            # "PID SECONDS ioctl(FD, REQUEST, ..." or "PID SECONDS poll(...":
            # strace leaves the pid out when it traces a single thread, and
            # "<... poll resumed>" lines only finish a call already counted.
            m = re.match(r"\s*(?:(\d+)\s+)?(\d+\.\d+)\s+(?:ioctl\(\d+, (\w+)|(poll|ppoll)\()", line)
            if m:
                calls.append((m.group(1), float(m.group(2)), m.group(3) or "wait"))
    # The waiter's own calls (strace restarts its wait on attaching) are no tick's.
    calls = [(tid, t, c) for tid, t, c in calls if tid not in waiters]
    line_calls = [(tid, t, c) for tid, t, c in calls if c.startswith("TIOCM")]
    if not line_calls:
        raise Failure("no line ioctls at all while tracing")
    tids = {tid for tid, _, _ in line_calls}
    if len(tids) != 1:
        raise Failure(f"line ioctls from several threads besides the waiter: {sorted(tids)}")
    tid = tids.pop()
    t_end = line_calls[-1][1]
    window = [c for th, t, c in calls if th == tid and t >= t_end - 2.0]
    setters = sorted({c for c in window if c.startswith("TIOCM") and c != "TIOCMGET"})
    ticks, current = [], 0
    for c in window + ["wait"]:
        if c == "wait":
            if current:
                ticks.append(current)
            current = 0
        elif c.startswith("TIOCM"):
            current += 1
    per_tick = sorted(set(ticks))
    # One tick per interval: more calls than that would be extra reads in
    # ticks that the grouping could not tell apart.
    if setters or per_tick != [1] or sum(ticks) > 2.0 / tick + 2:
        raise Failure(f"over 2 s: {len(ticks)} ticks, line ioctls per tick {per_tick}, {sum(ticks)} in all, "
                      f"setting calls {setters}")
    return f"{len(ticks)} ticks, one TIOCMGET each; thread {waiters[0]} waits in TIOCMIWAIT"


def steady_tick_ioctls(g):
    """A steady tick asks the driver once (one TIOCMGET) and sets nothing; a thread waits for edges."""
    g.no_error_box("before tracing")
    return tick_ioctls(g.app.pid, g.tmp, TICK)


def port_3_error(g):
    """Port 3 (/dev/ttyS2, no UART behind it) gives its own error, 208, not the generic 207."""
    with open("/sys/class/tty/ttyS2/type") as f:
        if f.read().strip() != "0":
            raise Failure("/dev/ttyS2 has a UART in this guest")
    g.click(CLOSE)
    g.open_port("3")

    def probe():
        boxes = g.error_boxes()
        return len(boxes) == 1, f"error boxes: {boxes}"
    wait_for("an error box for port 3", probe, 10)
    box = g.error_boxes()[0]
    name = g.x.name(box)
    g.x.xdo("windowfocus", str(box))
    g.x.xdo("key", "Return")
    m = re.match(r"Error ([0-9]+) - ", name)
    if not m or m.group(1) != "208":
        raise Failure(f"port 3 gave {name!r}")
    return f"box title {name!r}"


# -- the service on the same port, after the window program has ended

SCRIPTS = {"fire": "Fire.sh", "flood": "Flood.sh", "intrusion": "Intruder.sh"}


class Service:
    """rs232-phone-homed on a port (port 2 unless told), its scripts the
    test's own (scripts: channel -> file name): each writes one line to a
    file per run, and with console_marker first "QEMU-SCRIPT <channel>" to
    the console, where the host sees it at once. g needs .tmp and
    .args.service."""

    def __init__(self, g, name="service", console_marker=False, port="2", scripts=SCRIPTS):
        self.g = g
        self.port = port
        self.proc = None
        self.log_path = os.path.join(g.tmp, f"{name}.log")
        self.runs_path = os.path.join(g.tmp, f"{name}-script-runs.txt")
        self.state_dir = os.path.join(g.tmp, f"{name}-state")
        # On the guest's tmpfs. The service refuses a script that others
        # could change, so: root's, 0644 in a 0755 folder (/tmp above it
        # is root's with the sticky bit, which it accepts).
        self.script_dir = os.path.join(g.tmp, f"{name}-scripts")
        os.mkdir(self.script_dir)
        os.chmod(self.script_dir, 0o755)
        for script in scripts.values():
            path = os.path.join(self.script_dir, script)
            with open(path, "w") as f:
                if console_marker:
                    f.write('printf "QEMU-SCRIPT %s\\n" "$PHONE_HOME_CHANNEL" > /dev/console\n')
                f.write('printf "%s %s %s\\n" "$PHONE_HOME_CHANNEL" "$PHONE_HOME_REASON" "$PHONE_HOME_LINE"'
                        f' >> {self.runs_path}\n')
            os.chmod(path, 0o644)

    def start(self, *options):
        env = {"PATH": "/usr/bin:/bin", "HOME": os.environ.get("HOME", self.g.tmp), "LANG": "C.UTF-8"}
        with open(self.log_path, "ab") as log:
            self.proc = subprocess.Popen([self.g.args.service, "--port", self.port, *options,
                                          "--script-dir", self.script_dir,
                                          "--state-dir", self.state_dir], env=env, cwd=self.g.tmp,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    def events(self):
        with open(self.log_path, errors="replace") as f:
            return [line.strip() for line in f if " event=" in line]

    def find(self, *words):
        """Log lines holding every one of words."""
        return [e for e in self.events() if all(w in e.split() for w in words)]

    def wait_event(self, what, *words, timeout=10):
        def probe():
            if self.proc.poll() is not None:
                raise Failure(f"the service ended (status {self.proc.returncode}): {self.output()!r}")
            return bool(self.find(*words)), f"no '{' '.join(words)}' in the log"
        wait_for(what, probe, timeout)

    def output(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()[-1200:].strip()

    def runs(self):
        if not os.path.exists(self.runs_path):
            return []
        with open(self.runs_path) as f:
            return [line.split() for line in f if line.strip()]

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            e2e.stop_process(self.proc)


def service_opens(g):
    """The service opens port 2 and holds DTR and RTS high (--dtr --rts), its scripts accepted."""
    if g.app is not None:
        e2e.stop_process(g.app)  # it must not hold the port, nor take the cores
    g.service = svc = Service(g)
    # Left on the closed port for the service to find (the next check).
    bits = g.uart("+loop")
    if "loop" not in bits:
        raise Failure(f"the UART did not take the loopback bit: {bits}")
    svc.start("--dtr", "--rts")
    svc.wait_event("the service logs event=opened", "event=opened", timeout=30)
    for channel, script in SCRIPTS.items():
        if not svc.find("event=script", f"channel={channel}", "state=ready"):
            raise Failure(f"{script} not ready: {[e for e in svc.events() if 'event=script' in e]}")
    got = wait_for("the kernel shows DTR and RTS",
                   lambda: ({"DTR", "RTS"} <= kernel_lines(), f"kernel reports {fmt(kernel_lines())}"), 5)
    return got


def service_loop_cleared(g):
    """The loopback bit left on the closed port is cleared when the service opens it, and logged."""
    svc = g.service
    bits = g.uart()
    if "loop" in bits:
        raise Failure(f"the loopback bit is still set after the service opened port 2: lines {sorted(bits)}")
    svc.wait_event("the service logs what it put right", "event=notice", timeout=2)
    return f"lines {' '.join(sorted(bits))}"


def service_loopback_alarms(g):
    """In loopback DSR and CTS read the service's DTR and RTS back: both high, fire and
    flood in alarm, each script run once; DCD follows OUT2 down."""
    svc = g.service
    bits = g.uart("+loop", "-out2")
    if "loop" not in bits:
        raise Failure(f"the UART did not take the loopback bit: {bits}")
    g.expect_kernel("kernel in loopback with DTR and RTS held", {"DTR", "RTS", "DSR", "CTS"})
    # The service sees the loopback: DCD falls with OUT2 (nothing else could
    # lower it here: the host's device holds it high).
    svc.wait_event("the service logs DCD low", "event=line", "line=DCD", "level=low")
    for line, channel in (("CTS", "fire"), ("DSR", "flood")):
        svc.wait_event(f"{line} high in the log", "event=line", f"line={line}", "level=high", timeout=2)
        svc.wait_event(f"{channel} alarm in the log", "event=alarm", f"channel={channel}", f"line={line}", timeout=2)
        svc.wait_event(f"{channel}'s script ended well", "event=notification-ended", f"channel={channel}",
                       "status=0", timeout=10)
    hold("DSR and CTS stay high in loopback",
         lambda: (not svc.find("line=DSR", "level=low") and not svc.find("line=CTS", "level=low"),
                  f"{[e for e in svc.events() if 'level=low' in e]}"), 3 * TICK)
    runs = svc.runs()
    for channel, line in (("fire", "CTS"), ("flood", "DSR")):
        mine = [r for r in runs if r[0] == channel]
        if mine != [[channel, "alarm", line]]:
            raise Failure(f"{SCRIPTS[channel]} ran {len(mine)} times ({mine}), once expected; all runs {runs}")
    # Out of loopback at open the UART reads DCD high too: intrusion alarms
    # once then, and its script may run just as often as it alarmed.
    alarms = len(svc.find("event=alarm", "channel=intrusion"))
    wait_for(f"{SCRIPTS['intrusion']} runs once per intrusion alarm ({alarms})",
             lambda: (sum(r[0] == "intrusion" for r in svc.runs()) == alarms, f"runs {svc.runs()}"), 5)
    return f"kernel reports {fmt(kernel_lines())}, script runs {svc.runs()}"


def service_tick_ioctls(g):
    """The service waits in TIOCMIWAIT; its tick, once a second, asks the driver once and sets nothing."""
    return tick_ioctls(g.service.proc.pid, g.tmp, SERVICE_TICK)


def service_sigterm(g):
    """SIGTERM ends the service with status 0, and DTR and RTS drop in the UART."""
    svc = g.service
    svc.proc.send_signal(signal.SIGTERM)
    try:
        status = svc.proc.wait(20)
    except subprocess.TimeoutExpired:
        raise Failure("the service did not end within 20 s of SIGTERM") from None
    if status != 0:
        raise Failure(f"the service ended with status {status}: {svc.output()!r}")
    if not svc.find("event=stop", "signal=15"):
        raise Failure(f"no event=stop signal=15 in the log: {svc.events()[-3:]}")
    # Still in loopback, DSR and CTS read the UART's own DTR and RTS bits.
    g.expect_kernel("DTR and RTS dropped in the UART", set())
    return f"status {status}"


# -- the inputs driven from the host: out of loopback the UART follows the
# host's virtual device (run_qemu_test.py, Com2)

def host(request):
    """Asks the host, which follows the console, to act on COM2's device. No
    answer comes back: the caller waits for the effect in the UART."""
    print(f"QEMU-HOST {request}", flush=True)


def host_inputs_reach_uart(g):
    """Out of loopback each input set on the host's device shows in the UART, on its own line."""
    bits = g.uart("-loop")
    if "loop" in bits:
        raise Failure(f"the UART kept the loopback bit: {bits}")
    for cts, dsr, dcd in ((1, 0, 0), (0, 1, 0), (0, 0, 1), (0, 0, 0)):
        host(f"inputs {cts} {dsr} {dcd}")
        want = {n for n, v in (("CTS", cts), ("DSR", dsr), ("CD", dcd)) if v}
        g.expect_kernel(f"the kernel reads the host's inputs {cts} {dsr} {dcd}", want, timeout=10)


def service_catches_host_pulses(g):
    """With the inputs at rest low, each DSR pulse from the host is one flood onset and one
    run of Flood.sh, all of them; the service's DTR and RTS show on the host's device."""
    n, ms = g.args.pulses, g.args.pulse_ms
    g.service = svc = Service(g, "pulses", console_marker=True)
    svc.start("--dtr", "--rts")
    svc.wait_event("the service waits and counts", "event=watch", "mode=wait+count", timeout=30)
    wait_for("a thread of the service waits in TIOCMIWAIT",
             lambda: (len(waiting_threads(svc.proc.pid)) == 1, f"waiting: {waiting_threads(svc.proc.pid)}"), 10)
    g.expect_kernel("DTR and RTS held, the inputs at rest", {"DTR", "RTS"})
    host("expect service-dtr-rts-show-on-the-host-device dtr?=1 rts?=1")

    def count(*words):
        return len(svc.find(*words, "channel=flood"))
    for i in range(1, n + 1):
        host(f"pulse dsr {ms}")
        # A script's start is slow under emulation; the pulse's detection is not what waits here.
        wait_for(f"pulse {i}: Flood.sh ran and ended", lambda: (
            count("event=notification-ended", "status=0") >= i, f"{svc.events()[-3:]}"), 60)
        time.sleep(1)  # well apart: whatever else the pulse brings comes by now
        got = (count("event=alarm"), count("event=normal"), len(svc.runs()))
        if got != (i, i, i):
            raise Failure(f"after pulse {i}: {got[0]} flood alarms, {got[1]} returns to normal, {got[2]} script "
                          f"runs; {i} of each expected. Events: {[e for e in svc.events() if 'flood' in e]}")
    if svc.runs() != [["flood", "alarm", "DSR"]] * n or svc.find("event=alarm", "channel=fire") \
            or svc.find("event=alarm", "channel=intrusion"):
        raise Failure(f"runs {svc.runs()}, alarms {svc.find('event=alarm')}")
    counted = count("event=pulse")
    svc.stop()
    g.expect_kernel("the service's end drops DTR and RTS", set())
    host("expect service-end-drops-dtr-rts-on-the-host-device dtr?=0 rts?=0")
    return f"{n} of {n} pulses of {ms} ms caught: {counted} as pulses the driver counted, {n - counted} read high"


CHECKS = [
    ("port-2-opens", port_opens),
    ("loopback-dtr-rts-light-dsr-cts", loopback_outputs),
    ("dcd-follows-out2", dcd_follows_out2),
    ("discs-agree-with-kernel", four_combinations),
    ("close-drops-dtr-rts", close_drops_outputs),
    ("close-and-reopen", close_and_reopen),
    ("loopback-cleared-on-open", loop_cleared_on_open),
    ("steady-tick-one-tiocmget-and-a-waiter", steady_tick_ioctls),
    ("port-3-own-error", port_3_error),
    ("service-opens-port-2-dtr-rts", service_opens),
    ("service-loopback-cleared-on-open", service_loop_cleared),
    ("service-loopback-alarms-run-scripts-once", service_loopback_alarms),
    ("service-waits-in-tiocmiwait-ticks-once-a-second", service_tick_ioctls),
    ("service-sigterm-exit-0-drops-dtr-rts", service_sigterm),
    ("host-inputs-reach-the-uart", host_inputs_reach_uart),
    ("service-catches-every-dsr-pulse-from-the-host", service_catches_host_pulses),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--uart-ctl", required=True)
    parser.add_argument("--accel", default="tcg")
    parser.add_argument("--pulses", type=int, default=10, help="DSR pulses the host makes")
    parser.add_argument("--pulse-ms", type=int, default=20, help="their length")
    parser.add_argument("--allowance", type=float, default=None,
                        help="seconds allowed beyond two ticks for a click to show (default by accelerator)")
    args = parser.parse_args()
    if args.allowance is None:
        args.allowance = 0.15 if args.accel == "kvm" else 0.3

    def make_guest():
        g = Guest(args)
        t0 = time.monotonic()
        g.start()
        print(f"window after {time.monotonic() - t0:.1f} s", flush=True)
        return g

    def before_close(g, failed):
        if failed and g.app is not None:
            print(f"program output: {g.program_output()!r}", flush=True)
        if failed and g.service is not None:
            print(f"service output: {g.service.output()!r}", flush=True)

    return run_checks(make_guest, CHECKS, lambda g: print(
        f"    kernel: {open('/proc/tty/driver/serial').read().strip()}", flush=True), before_close)


if __name__ == "__main__":
    sys.exit(main())
