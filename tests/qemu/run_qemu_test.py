#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the program against a real kernel serial driver, inside QEMU.

The guest is Debian's own kernel (the linux-image package linux-image-amd64
depends on, fetched once with apt-get download into --cache) on an emulated PC
with two 16550A UARTs: COM1 is the guest's console, written to a file here;
COM2 is /dev/ttyS1 in the guest, the port under test. QEMU's UART follows the
modem lines of a host tty there: a virtual serial device (tests/vserial,
vserial_ctl), with QEMU itself run under its preload. QEMU reads the device's
inputs whenever the guest reads the modem status register, and every 10 ms
while the guest has the modem-status interrupt on; the guest's DTR and RTS
are set on the device. The inputs stay high, as an unconnected UART reads
them, until the guest asks otherwise.
The initramfs (busybox-static, made here as a cpio archive) mounts this
machine's root read-only over virtio-9p and changes root into it, with the
guest's own devtmpfs, proc, sysfs and tmpfs mounted over it: the guest runs
the binaries just built, and every device it opens is the guest's own.

guest_checks.py does the checks in the guest and prints one line per check;
this script turns them into the exit status and keeps the console log under
--artifacts when something failed. While QEMU runs it follows the console:
the guest asks for changes of COM2's inputs with "QEMU-HOST ..." lines (see
Com2), and times DSR pulses to the "QEMU-SCRIPT flood" line that the guest's
Flood.sh writes. Standard library only.
"""

import argparse
import ctypes
import os
import queue
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# Modules the guest loads, besides what they need.
WANTED_MODULES = ("virtio_pci", "9pnet_virtio", "9p")
RESULT_RE = re.compile(r"^QEMU-CHECK (PASS|FAIL|SKIP) (\S+)(.*)$")
END_MARK = "QEMU-GUEST-END"
HOST_RE = re.compile(r"^QEMU-HOST (.+)$")
MARKER_RE = re.compile(r"QEMU-SCRIPT flood\b")
# The measured pulses: the guest gets these numbers and asks for each pulse.
PULSES = 10
PULSE_MS = 20

# The start of every guest's init: busybox, the kernel's views, the modules.
INIT_START = r'''#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
fail() { echo "QEMU-CHECK FAIL guest-setup: $*"; echo "@END@"; poweroff -f; }
for m in @MODULES@; do insmod "/modules/$m" || fail "insmod $m"; done
'''

INIT = INIT_START + r'''r=/host
mkdir -p $r
mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=262144 hostroot $r || fail "mounting the host's root"
# The guest's own devices, kernel views and scratch space over the host's.
mount -t devtmpfs dev $r/dev || fail "devtmpfs"
mkdir -p $r/dev/pts $r/dev/shm
# What udev adds on a real system (the program itself uses /proc/self/fd).
ln -s /proc/self/fd $r/dev/fd
mount -t devpts devpts $r/dev/pts
mount -t tmpfs shm $r/dev/shm
mount -t proc proc $r/proc || fail "proc"
mount -t sysfs sys $r/sys || fail "sysfs"
# A view of the host's tree without the scratch space laid over it, so a
# checkout or build under /tmp stays visible to the guest.
mkdir -p /orig
mount -o bind $r /orig || fail "a second view of the host's root"
for d in tmp run var/tmp var/lib/xkb; do
    if [ -d $r/$d ]; then mount -t tmpfs -o mode=1777 scratch $r/$d || fail "tmpfs on /$d"; fi
done
for p in @KEEP@; do
    case "$p" in
        /tmp/*|/run/*|/var/tmp/*|/var/lib/xkb/*)
            mkdir -p "$r$p" && mount -o bind "/orig$p" "$r$p" || fail "keeping $p" ;;
    esac
done
mkdir -p $r/run/lock $r/tmp/home $r/tmp/runtime
chmod 700 $r/tmp/runtime
echo "QEMU-GUEST-START $(uname -r)"
chroot $r /usr/bin/env -i PATH=/usr/bin:/bin HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/runtime LANG=C.UTF-8 \
    @PYTHON@ @CHECKS@ @ARGS@ < /dev/console > /dev/console 2>&1
echo "QEMU-GUEST-EXIT $?"
echo "@END@"
sync
poweroff -f
'''


class Failure(Exception):
    pass


def kept_paths(here, *programs):
    """The source tree and the folders of the programs, outermost only."""
    paths = sorted({os.path.dirname(os.path.dirname(here))} | {os.path.dirname(p) for p in programs}, key=len)
    kept = []
    for p in paths:
        if not any(p == k or p.startswith(k + "/") for k in kept):
            kept.append(p)
    return kept


def die_with_parent():
    # If CTest kills the test, QEMU must not outlive it.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def log(text):
    print(text, flush=True)


def run(args, **kw):
    p = subprocess.run(args, capture_output=True, text=True, **kw)
    if p.returncode != 0:
        raise Failure(f"{' '.join(args)} failed ({p.returncode}): {p.stderr.strip()[-800:]}")
    return p.stdout


def kernel_package():
    """The versioned linux-image package that linux-image-amd64 depends on."""
    try:
        out = run(["apt-cache", "depends", "linux-image-amd64"])
    except Failure as e:
        raise Failure(f"{e}: run 'apt-get update' as root so apt knows the kernel package") from None
    m = re.search(r"Depends: (linux-image-[0-9][^\s]*-amd64)\b", out)
    if not m:
        raise Failure(f"apt-cache depends linux-image-amd64 names no kernel package ({out.strip()!r}): "
                      "run 'apt-get update' as root and try again")
    return m.group(1)


def module_depends(path):
    """The depends= entry of a module's .modinfo section."""
    with open(path, "rb") as f:
        m = re.search(rb"\0depends=([^\0]*)\0", f.read())
    return [d.decode() for d in m.group(1).split(b",") if d] if m else []


def module_closure(mod_root, names):
    """Module files for names, each after what it needs. The package has no
    modules.dep (depmod writes it on installation), so each module's own
    depends= entry tells."""
    by_name = {}
    for dirpath, _, files in os.walk(mod_root):
        for f in files:
            if f.endswith(".ko"):
                by_name[f[:-3].replace("-", "_")] = os.path.join(dirpath, f)
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name not in by_name:
            raise Failure(f"the kernel package has no module {name}")
        path = by_name[name]
        if path in order:
            return
        for d in module_depends(path):
            visit(d)
        order.append(path)
    for n in names:
        visit(n)
    return order


def prepare_kernel(cache, wanted=WANTED_MODULES):
    """vmlinuz and the modules wanted (in load order), from the cache or
    fetched into it. A cache serves one set of modules."""
    os.makedirs(cache, exist_ok=True)
    try:
        package = kernel_package()
    except (Failure, OSError) as e:
        cached = sorted(d for d in os.listdir(cache) if os.path.isfile(os.path.join(cache, d, "ready")))
        if not cached:
            raise
        package = cached[-1]
        log(f"({e}; using the cached {package})")
    kdir = os.path.join(cache, package)
    ready = os.path.join(kdir, "ready")
    if not os.path.isfile(ready):
        shutil.rmtree(kdir, ignore_errors=True)
        os.makedirs(kdir)
        log(f"fetching {package} into {cache}")
        for old in os.listdir(cache):
            if old.endswith(".deb"):
                os.remove(os.path.join(cache, old))
        run(["apt-get", "download", package], cwd=cache)
        debs = [d for d in os.listdir(cache) if d.startswith(package + "_") and d.endswith(".deb")]
        if len(debs) != 1:
            raise Failure(f"apt-get download {package} left {debs} in {cache}")
        deb = os.path.join(cache, debs[0])
        unpacked = os.path.join(kdir, "unpacked")
        os.makedirs(unpacked)
        run(["dpkg-deb", "-x", deb, unpacked])
        (vmlinuz,) = [f for f in os.listdir(os.path.join(unpacked, "boot")) if f.startswith("vmlinuz-")]
        shutil.copy(os.path.join(unpacked, "boot", vmlinuz), os.path.join(kdir, "vmlinuz"))
        (release,) = os.listdir(os.path.join(unpacked, "lib", "modules"))
        mod_root = os.path.join(unpacked, "lib", "modules", release)
        order = module_closure(mod_root, wanted)
        os.makedirs(os.path.join(kdir, "modules"))
        for path in order:
            shutil.copy(path, os.path.join(kdir, "modules", os.path.basename(path)))
        with open(os.path.join(kdir, "modules", "order"), "w") as f:
            f.write("\n".join(os.path.basename(r) for r in order) + "\n")
        shutil.rmtree(unpacked)
        os.remove(deb)
        with open(ready, "w") as f:
            f.write(release + "\n")
    with open(os.path.join(kdir, "modules", "order")) as f:
        modules = [os.path.join(kdir, "modules", m) for m in f.read().split()]
    return os.path.join(kdir, "vmlinuz"), modules


class Cpio:
    """A cpio archive in the "newc" format the kernel unpacks."""

    def __init__(self):
        self.data = bytearray()
        self.ino = 1

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        name_b = name.encode() + b"\0"
        fields = (self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1], len(name_b), 0)
        self.ino += 1
        self.data += b"070701" + b"".join(b"%08X" % v for v in fields) + name_b
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def dir(self, name):
        self._entry(name, 0o040755)

    def file(self, name, body, mode=0o644):
        self._entry(name, 0o100000 | mode, body)

    def char_device(self, name, major, minor):
        self._entry(name, 0o020600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def make_initramfs(path, busybox, modules, init_text):
    c = Cpio()
    for d in ("bin", "dev", "proc", "sys", "modules"):
        c.dir(d)
    c.char_device("dev/console", 5, 1)
    with open(busybox, "rb") as f:
        c.file("bin/busybox", f.read(), 0o755)
    for m in modules:
        with open(m, "rb") as f:
            c.file("modules/" + os.path.basename(m), f.read())
    c.file("init", init_text.encode(), 0o755)
    with open(path, "wb") as f:
        f.write(c.finish())


def accelerator():
    """KVM only where a hardware kvm module is loaded: the nested kind some
    hosts offer does not boot Debian's kernel. Otherwise TCG."""
    hw = any(os.path.isdir(f"/sys/module/{m}") for m in ("kvm_intel", "kvm_amd"))
    if hw and os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "kvm", ["-enable-kvm", "-cpu", "host"]
    return "tcg", ["-accel", "tcg", "-cpu", "max"]


def qemu_command(qemu, accel_args, vmlinuz, initramfs, append, console, com2_tty=None):
    """The emulated PC: COM1 the console, written to the file console; COM2
    (/dev/ttyS1) following the host tty com2_tty's modem lines, or with nothing
    attached; this machine's root over virtio-9p."""
    com2 = ["-chardev", f"serial,id=com2,path={com2_tty}", "-serial", "chardev:com2"] if com2_tty else \
        ["-serial", "null"]
    return [qemu, "-nodefaults", "-no-user-config", "-nographic", "-no-reboot", "-machine", "pc",
            *accel_args, "-smp", "2", "-m", "1536",
            "-kernel", vmlinuz, "-initrd", initramfs, "-append", append,
            "-chardev", f"file,id=console,path={console}", "-serial", "chardev:console",
            *com2,
            "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
            "-monitor", "none"]


class Tail(threading.Thread):
    """The lines of a growing file as they come, each with the time it was
    seen: inotify wakes it on every write, so a line's time is its arrival's."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.lines = queue.Queue()
        self.done = threading.Event()
        libc = ctypes.CDLL(None, use_errno=True)
        self.inotify = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.inotify < 0 or libc.inotify_add_watch(self.inotify, path.encode(), 0x2) < 0:  # IN_MODIFY
            raise Failure(f"inotify on {path}: {os.strerror(ctypes.get_errno())}")
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)

    def run(self):
        pending = b""
        while True:
            last = self.done.is_set()
            if select.select([self.inotify], [], [], 0.1)[0]:
                try:
                    os.read(self.inotify, 65536)
                except BlockingIOError:
                    pass
            seen = time.monotonic()
            while True:
                chunk = os.read(self.fd, 65536)
                if not chunk:
                    break
                pending += chunk
            *whole, pending = pending.split(b"\n")
            for line in whole:
                self.lines.put((seen, line.decode(errors="replace").replace("\r", "")))
            if last:
                break
        os.close(self.fd)
        os.close(self.inotify)

    def stop(self):
        self.done.set()
        self.join()


class Com2:
    """The virtual serial device behind the guest's COM2, and the guest's
    requests for it, read from its console while QEMU runs:

        QEMU-HOST inputs C D K | cts|dsr|dcd 0|1   passed on to vserial_ctl
        QEMU-HOST pulse dsr MS                     the same, and timed: the next
                                                   "QEMU-SCRIPT flood" line ends it
        QEMU-HOST expect NAME dtr?=1 rts?=1        a check of the host's own: the
                                                   device shows these outputs

    The guest gets no answer: it waits for the effect in its own UART."""

    def __init__(self, ctl, preload, parent):
        os.makedirs(parent)
        self.env = dict(os.environ, LD_PRELOAD=preload, VSERIAL_DEVICES=parent)
        self.proc = subprocess.Popen([ctl, parent], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     preexec_fn=die_with_parent)
        ready = self.proc.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "ready":
            raise Failure(f"vserial_ctl did not start: {ready}")
        # The pty's own path: the preload takes QEMU's open of it as the device's
        # and answers its line ioctls from the state mapped then.
        self.devdir = ready[1]
        self.tty = os.readlink(os.path.join(ready[1], "tty"))
        self.results = []  # the host's own checks, as (PASS|FAIL, name, detail)
        self.pulses = []  # when each timed pulse started
        self.latencies = {}  # pulse index -> seconds to its marker
        self.stray_markers = 0
        # Unconnected UARTs read their inputs high, as the checks before the pulses expect.
        if self.ask("inputs 1 1 1") != "ok":
            raise Failure("vserial_ctl refused 'inputs 1 1 1'")

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def line(self, seen, text):
        if MARKER_RE.search(text):
            last = len(self.pulses) - 1
            if last >= 0 and last not in self.latencies:
                self.latencies[last] = seen - self.pulses[last]
            else:
                self.stray_markers += 1
            return
        m = HOST_RE.match(text)
        if not m:
            return
        command = m.group(1).strip()
        words = command.split()
        if words[0] == "expect" and len(words) > 2:
            self.expect(words[1], dict(w.split("=", 1) for w in words[2:]))
            return
        if words[0] == "pulse":
            self.pulses.append(time.monotonic())
        answer = self.ask(command)
        log(f"host: {command} -> {answer}")
        if answer != "ok":
            self.results.append(("FAIL", "host-request", f" {command!r}: {answer}"))

    def expect(self, name, want, timeout=5):
        """The device answers each question as wanted, within timeout."""
        end = time.monotonic() + timeout
        while True:
            got = {q: self.ask(q) for q in want}
            if got == want:
                self.results.append(("PASS", name, f" {got}"))
                return
            if time.monotonic() > end:
                self.results.append(("FAIL", name, f" the device answers {got}, expected {want}"))
                return
            time.sleep(0.05)

    def summary(self):
        """Logs the latency; returns what is missing."""
        problems = []
        if len(self.pulses) != PULSES:
            problems.append(f"the guest asked for {len(self.pulses)} timed pulses, not {PULSES}")
        if len(self.latencies) < len(self.pulses):
            problems.append(f"{len(self.pulses) - len(self.latencies)} of {len(self.pulses)} pulses brought "
                            "no QEMU-SCRIPT flood line")
        if self.stray_markers:
            problems.append(f"{self.stray_markers} QEMU-SCRIPT flood lines without a pulse of their own")
        if self.latencies:
            ms = [self.latencies[i] * 1000 for i in sorted(self.latencies)]
            log(f"real-driver latency over {len(ms)} DSR pulses of {PULSE_MS} ms: median "
                f"{statistics.median(ms):.0f} ms, max {max(ms):.0f} ms (each: {' '.join(f'{v:.0f}' for v in ms)})")
        return problems

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()  # vserial_ctl removes the device at the end of its input
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def run_guest(cmd, work, console, timeout, artifacts, started, accel, name="qemu", prefix="", com2=None):
    """Runs QEMU to its end or the timeout, echoes the guest's console and
    turns its QEMU-CHECK lines into the exit status. With com2 (a Com2), QEMU
    runs under its preload and the console is followed for the guest's
    requests meanwhile. On a failure keeps the console and QEMU's own log
    under artifacts (their names after prefix); removes work."""
    qemu_log = os.path.join(work, "qemu.log")
    tail = None
    if com2 is not None:
        open(console, "wb").close()
        tail = Tail(console)
        tail.start()
    with open(qemu_log, "wb") as qlog:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=qlog, stderr=subprocess.STDOUT,
                                env=com2.env if com2 is not None else None, preexec_fn=die_with_parent)
    timed_out = False
    try:
        if tail is None:
            proc.wait(timeout)
        else:
            end = time.monotonic() + timeout
            while proc.poll() is None:
                if time.monotonic() > end:
                    raise subprocess.TimeoutExpired(cmd, timeout)
                try:
                    com2.line(*tail.lines.get(timeout=0.05))
                except queue.Empty:
                    pass
    except subprocess.TimeoutExpired:
        timed_out = True
        proc.kill()
        proc.wait()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if tail is not None:
            tail.stop()
    if tail is not None:
        while not tail.lines.empty():
            com2.line(*tail.lines.get())

    text = ""
    if os.path.exists(console):
        with open(console, errors="replace") as f:
            text = f.read().replace("\r", "")
    results = []
    log("---- guest console")
    for line in text.splitlines():
        log(re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1bc", "", line))
        m = RESULT_RE.match(line)
        if m:
            results.append((m.group(1), m.group(2), m.group(3)))
    log("---- end of guest console")
    problems = []
    if com2 is not None:
        for r in com2.results:
            log(f"HOST-CHECK {r[0]} {r[1]}{r[2]}")
        results += com2.results
        problems += com2.summary()
    failed = [r for r in results if r[0] == "FAIL"]
    passed = [r for r in results if r[0] == "PASS"]
    if timed_out:
        problems.append(f"the guest did not finish within {timeout:g} s")
    if END_MARK not in text:
        problems.append("the guest never reached the end of its checks")
    if proc.returncode not in (0, None) and not timed_out:
        problems.append(f"QEMU ended with status {proc.returncode}")
    if not passed:
        problems.append("no check passed")
    for p in problems:
        log(f"FAIL: {p}")
    log(f"qemu run time {time.monotonic() - started:.1f} s ({accel})")
    log(f"{name}: {len(passed)} passed, {len(failed)} failed, "
        f"{sum(1 for r in results if r[0] == 'SKIP')} skipped")
    if failed or problems:
        dest = os.path.abspath(artifacts)
        os.makedirs(dest, exist_ok=True)
        for src in (console, qemu_log):
            if os.path.exists(src):
                kept = os.path.join(dest, prefix + os.path.basename(src))
                shutil.copy(src, kept)
                log(f"    kept {kept}")
        shutil.rmtree(work, ignore_errors=True)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


def host_tools():
    """qemu-system-x86_64 and busybox's paths; a Failure names what is missing."""
    qemu = shutil.which("qemu-system-x86_64")
    busybox = next((p for p in ("/bin/busybox", "/usr/bin/busybox") if os.path.isfile(p)), None)
    missing = [n for n, p in (("qemu-system-x86", qemu), ("busybox-static", busybox),
                              ("apt-get", shutil.which("apt-get")), ("dpkg-deb", shutil.which("dpkg-deb")))
               if not p]
    if missing:
        raise Failure(f"missing {', '.join(missing)}: run tools/setup.sh")
    return qemu, busybox


def check_paths(paths):
    """They go onto the guest's shell line and into QEMU's option lists."""
    if any(c in "".join(paths) for c in " ,'\"$\\`"):
        raise Failure(f"a path here holds a space, comma, quote, $ or backslash, which the guest cannot take: {paths}")


def guest_init(modules, checks, guest_args, keep):
    """INIT for these module files, running the python script checks with guest_args,
    the folders keep visible under the guest's scratch space."""
    return (INIT.replace("@MODULES@", " ".join(os.path.basename(m) for m in modules))
            .replace("@PYTHON@", "/usr/bin/python3")
            .replace("@CHECKS@", checks)
            .replace("@ARGS@", " ".join(guest_args))
            .replace("@KEEP@", " ".join(keep))
            .replace("@END@", END_MARK))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app", required=True)
    parser.add_argument("--service", required=True)
    parser.add_argument("--uart-ctl", required=True)
    parser.add_argument("--ctl", required=True, help="vserial_ctl, the virtual device's helper")
    parser.add_argument("--preload", required=True, help="libvserial_preload.so, QEMU's LD_PRELOAD")
    parser.add_argument("--work", required=True, help="folder in the build tree for the run's files")
    parser.add_argument("--cache", required=True, help="folder for the kernel, kept between runs")
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    app, service, ctl = (os.path.abspath(p) for p in (args.app, args.service, args.uart_ctl))

    try:
        qemu, busybox = host_tools()
    except Failure as e:
        log(f"FAIL: {e}")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    started = time.monotonic()
    try:
        vmlinuz, modules = prepare_kernel(os.path.abspath(args.cache))
    except (Failure, OSError, ValueError) as e:
        log(f"FAIL: preparing the guest kernel: {e}")
        return 1

    try:
        check_paths([here, app, service, ctl, os.path.abspath(args.work), vmlinuz])
    except Failure as e:
        log(f"FAIL: {e}")
        return 1
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=args.work)
    console = os.path.join(work, "console.log")
    accel, accel_args = accelerator()
    guest_args = ["--app", app, "--service", service, "--uart-ctl", ctl, "--accel", accel,
                  "--pulses", str(PULSES), "--pulse-ms", str(PULSE_MS)]
    init = guest_init(modules, os.path.join(here, "guest_checks.py"), guest_args, kept_paths(here, app, service, ctl))
    initramfs = os.path.join(work, "initramfs.cpio")
    make_initramfs(initramfs, busybox, modules, init)

    com2 = None
    try:
        com2 = Com2(os.path.abspath(args.ctl), os.path.abspath(args.preload), os.path.join(work, "devices"))
        cmd = qemu_command(qemu, accel_args, vmlinuz, initramfs, "console=ttyS0,115200 panic=-1 quiet loglevel=4",
                           console, com2.tty)
        log(f"booting {os.path.basename(vmlinuz)} under {accel} (console: {console}, COM2: {com2.tty})")
        return run_guest(cmd, work, console, args.timeout, args.artifacts, started, accel, com2=com2)
    except (Failure, OSError) as e:
        log(f"FAIL: {e}")
        return 1
    finally:
        if com2 is not None:
            com2.close()

if __name__ == "__main__":
    sys.exit(main())
