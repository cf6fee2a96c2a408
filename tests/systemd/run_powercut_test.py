#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Cuts the power under the service again and again, inside QEMU, and
checks that nothing it promised was lost.

The guest is the systemd test's (run_systemd_test.py): this machine's root
read-only under a tmpfs overlay, but its first process is this test's
agent, which starts the service itself. The service's state folder /var/lib/rs232-phone-home is an
ext4 file system of its own on a virtio disk, an image made here with
mkfs.ext4 and kept across the guest's boots: the guest's page cache dies
with each cut, and only what reached the disk survives. COM2 follows a
virtual serial device here (tests/vserial), so the host makes the alarms;
COM3 is a socket here, the guest's only way to tell anything: the agent
(powercut_guest.py) and the notification scripts of this test report over
it, never through the guest's disk.

Each cut is SIGKILL of QEMU at a random moment of one of four scenes: just
after an onset, while the script runs, while retries are under way (the
host has the first attempts fail), and just after an arm or disarm command
was answered. Then the image's journal is replayed on a copy and e2fsck -fn
checks it, and the guest boots again. After each boot: no spool entry of
zero length and no ".bad" file, no warning in the service's log that a file
cannot be read, the panel in the state last acknowledged or a safer one. At
the end, after one more boot without a cut: every onset whose first attempt
the host saw (the script's report, or the service's record that it started
it) was delivered (a successful attempt reached the host), no
delivery came without an onset, and the image, unmounted cleanly, passes
e2fsck -fn. The figures are printed last.
"""

import argparse
import datetime
import os
import queue
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "qemu"))
import run_qemu_test as qemu  # noqa: E402
import run_systemd_test as systemd_test  # noqa: E402  (the guest's INIT and its files)

STATE_DIR = "/var/lib/rs232-phone-home"
# The modem lines of each channel, in vserial_ctl's "inputs C D K" order.
CHANNELS = ("fire", "flood", "intrusion")
SCENES = ("onset", "script", "retry", "arm")
# How long a script works before it tells its success; the retry base.
SCRIPT_WORK_S = 1
RETRY_BASE_S = 1
# An event's time as the guest stamps it, less the host's time of the edge,
# each on its own clock (the guest's offset measured at each boot).
EVENT_WINDOW_S = (-2.0, 8.0)
ARMED = ("arming", "armed_away", "pending", "triggered")
BOOT_TRIES = 2
STARTED_RE = re.compile(r"\bevent=notification channel=(\w+) reason=alarm .*\battempt=1\b")
PANEL_RE = re.compile(r"\bevent=panel state=(\S+)")
UNREADABLE_RE = re.compile(r"cannot be (read|resumed)|set aside")

AGENT = os.path.join(HERE, "powercut_guest.py")
CODE_FILE = "/etc/rs232-phone-home/code"  # as powercut_guest.py has it
# The agent is the guest's first process: no systemd, which takes 20 s to
# boot under TCG, a cost paid at every cut.
GUEST_INIT = ("/usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "
              f"/usr/bin/python3 {AGENT} --service @SERVICE@ --retry-base {RETRY_BASE_S}")

# Each attempt told at once (a cut may stop it from leaving the UART: then
# the host never saw it); its success told only once it left (report()).
SCRIPT = """#!/bin/sh
failing=0
[ -r /run/powercut/fail."$PHONE_HOME_CHANNEL" ] && read -r failing < /run/powercut/fail."$PHONE_HOME_CHANNEL"
will=ok
[ "$PHONE_HOME_ATTEMPT" -gt "$failing" ] || will=fail
echo "attempt $will $PHONE_HOME_CHANNEL $PHONE_HOME_REASON $PHONE_HOME_ATTEMPT $PHONE_HOME_TIME" > /dev/ttyS2
sleep {work}
[ "$will" = ok ] || exit 1
exec /usr/bin/python3 {agent} report "sent ok $PHONE_HOME_CHANNEL $PHONE_HOME_REASON $PHONE_HOME_ATTEMPT $PHONE_HOME_TIME"
"""

MOUNT_STATE = f"""for i in 1 2 3 4 5 6 7 8 9 10; do [ -b /dev/vda ] && break; sleep 0.2; done
mkdir -p /root{STATE_DIR}
mount -t ext4 /dev/vda /root{STATE_DIR} || fail "mounting the state disk"
"""


class Link:
    """COM3's far end: a Unix socket QEMU connects to at each boot. Lines
    arrive on a queue with the host's time of arrival."""

    def __init__(self, path, transcript):
        self.path = path
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(1)
        self.transcript = transcript
        self.conn = None
        self.lines = queue.Queue()

    def accept(self, timeout):
        self.server.settimeout(timeout)
        self.conn, _ = self.server.accept()
        self.reader = threading.Thread(target=self._read, args=(self.conn,), daemon=True)
        self.reader.start()

    def _read(self, conn):
        pending = b""
        while True:
            try:
                chunk = conn.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                self.lines.put((time.time(), None))
                return
            pending += chunk
            *whole, pending = pending.split(b"\n")
            for raw in whole:
                line = raw.decode(errors="replace").replace("\r", "").strip()
                if line:
                    self.transcript.write(line + "\n")
                    self.transcript.flush()
                    self.lines.put((time.time(), line))

    def send(self, text):
        self.conn.sendall((text + "\n").encode())

    def drop(self):
        """Once QEMU is gone: waits for its last lines to reach the queue."""
        if self.conn is not None:
            self.reader.join(10)
            self.conn.close()
            self.conn = None


class Onset:
    def __init__(self, channel, at, boot, panel):
        self.channel = channel
        self.at = at  # the host's time of the edge
        self.boot = boot
        self.panel = panel  # the panel's state just before
        self.first_seen = False
        self.required = False  # its alarm was on record: it must be delivered
        self.sent = 0


class PowerCut:
    """The host's record of one run and its checks."""

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.rng = random.Random(args.seed)
        self.image = os.path.join(work, "state.img")
        self.onsets = []
        self.faults = []
        self.strays = set()  # (attempt|sent, channel, time) of events without an onset
        self.offsets = {}  # boot -> guest clock less host clock
        self.boot = 0
        self.cuts = 0
        self.hung = 0  # boots that never reached the agent
        self.commands = 0
        self.last_ack = None  # "arm" or "disarm", as the guest answered
        self.state = None  # the panel's state as last told
        self.ready = None
        self.inputs = [0, 0, 0]
        self.proc = None
        self.transcript = open(os.path.join(work, "link.log"), "w")
        self.link = Link(os.path.join(work, "com3.sock"), self.transcript)
        self.qemu_log = open(os.path.join(work, "qemu.log"), "ab")

    def fault(self, text):
        qemu.log(f"FAULT (boot {self.boot}): {text}")
        self.faults.append(f"boot {self.boot}: {text}")

    # ---- what the guest tells
    def match(self, channel, time_text):
        """The onset an event's time belongs to, or None."""
        try:
            at = datetime.datetime.fromisoformat(time_text).timestamp()
        except ValueError:
            self.fault(f"an event time that is no ISO 8601 time: {time_text!r}")
            return None
        for onset in reversed(self.onsets):
            lag = at - self.offsets[onset.boot] - onset.at
            if onset.channel == channel and EVENT_WINDOW_S[0] <= lag <= EVENT_WINDOW_S[1]:
                return onset
        return None

    def take(self, seen, line):
        words = line.split()
        kind = words[0]
        if kind == "boot":
            clock = float(dict(w.split("=", 1) for w in words[1:])["clock"])
            self.offsets[self.boot] = clock - seen
        elif kind in ("attempt", "sent") and len(words) >= 6:
            channel, reason, attempt, time_text = words[2], words[3], int(words[4]), words[5]
            onset = self.match(channel, time_text) if reason == "alarm" else None
            if onset is None:
                # Once per event and kind: its retries are the same fault again.
                if (kind, channel, time_text) not in self.strays:
                    self.strays.add((kind, channel, time_text))
                    self.fault(f"{'a delivery' if kind == 'sent' else 'a notification'} without an onset: {line}")
            elif kind == "sent":
                onset.sent += 1
            elif attempt == 1:
                onset.first_seen = onset.required = True
        elif kind == "spool" and len(words) == 4:
            name, size = words[2], int(words[3])
            if name.endswith(".bad"):
                self.fault(f"a file set aside in the spool ({words[1]} the service): {name}")
            elif name.endswith(".json") and size == 0:
                self.fault(f"a zero-length spool entry ({words[1]} the service): {name}")
        elif kind == "log":
            text = line[4:]
            if UNREADABLE_RE.search(text):
                self.fault(f"the service could not read a file: {text}")
            started = STARTED_RE.search(text)
            if started:
                # The service's word that the first attempt began counts as the
                # script's own: the script may not have had the time to tell.
                onset = self.match(started.group(1), text.split()[0])
                if onset is not None:
                    onset.first_seen = onset.required = True
            state = PANEL_RE.search(text)
            if state:
                self.state = state.group(1)
            if "event=panel state=triggered by=start" in text:
                # Restored as told: the intrusion that triggered it is on record.
                intrusions = [o for o in self.onsets if o.channel == "intrusion" and o.boot < self.boot]
                if intrusions and intrusions[-1].panel == "armed_away":
                    intrusions[-1].required = True
        elif kind == "ready":
            self.ready = dict(w.split("=", 1) for w in words[1:])
            self.state = self.ready.get("state")
        elif kind == "error":
            self.fault(f"the guest: {line}")

    def wait(self, want, timeout):
        """Takes the guest's lines until want(line) holds; returns the line, or None at the timeout."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            try:
                seen, line = self.link.lines.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            self.take(seen, line)
            if want(line):
                return line

    def drain(self):
        while True:
            try:
                seen, line = self.link.lines.get_nowait()
            except queue.Empty:
                return
            if line is not None:
                self.take(seen, line)

    # ---- the guest's power
    def power_on(self, cmd, env):
        self.boot += 1
        self.ready = None
        started = time.monotonic()
        for tries in range(BOOT_TRIES):
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.qemu_log,
                                         stderr=subprocess.STDOUT, env=env, preexec_fn=qemu.die_with_parent)
            self.link.accept(30)
            if self.wait(lambda line: line.startswith("boot "), self.args.boot_timeout / 2) is not None:
                break
            # The guest hung under TCG before its agent, so before the service
            # (seen once in some sixty boots here): one more cut.
            qemu.log(f"boot {self.boot}: no agent within {self.args.boot_timeout / 2:g} s; powered on again")
            self.proc.kill()
            self.proc.wait()
            self.link.drop()
            self.drain()
            self.fsck(replay=True)
            self.hung += 1
        if self.wait(lambda line: line.startswith("ready "), self.args.boot_timeout / 2) is None:
            raise qemu.Failure(f"boot {self.boot}: the guest's agent was not ready within "
                               f"{self.args.boot_timeout:g} s")
        took = time.monotonic() - started
        if self.last_ack == "arm" and self.state not in ARMED:
            self.fault(f"the panel starts {self.state} though arming was acknowledged before the cut")
        return took

    def cut(self):
        self.proc.kill()
        self.proc.wait()
        self.link.drop()
        self.drain()
        self.cuts += 1
        self.set_inputs([0, 0, 0])
        self.fsck(replay=True)

    def set_inputs(self, inputs):
        self.inputs = list(inputs)
        answer = self.com2.ask("inputs " + " ".join(map(str, inputs)))
        if answer != "ok":
            raise qemu.Failure(f"vserial_ctl refused inputs {inputs}: {answer}")
        return time.time()

    def fsck(self, replay):
        """e2fsck -fn of the image; after a cut, of a copy whose journal was replayed first."""
        image = self.image
        if replay:
            image = os.path.join(self.work, "replayed.img")
            shutil.copyfile(self.image, image)
            subprocess.run(["e2fsck", "-E", "journal_only", "-p", image], capture_output=True)
        done = subprocess.run(["e2fsck", "-fn", image], capture_output=True, text=True)
        if done.returncode != 0:
            self.fault(f"e2fsck -fn {'after the cut' if replay else 'at the end'}: status {done.returncode}: "
                       f"{done.stdout.strip()[-600:]}")

    # ---- scenes
    def command(self, verb):
        self.commands += 1
        ident = str(self.commands)
        self.link.send(f"{verb} {ident}")
        line = self.wait(lambda line: line.startswith(f"ack {ident} "), 30)
        if line is None:
            raise qemu.Failure(f"boot {self.boot}: no answer to {verb}")
        words = line.split()
        if words[2] != "0" or len(words) < 4:
            raise qemu.Failure(f"boot {self.boot}: {verb} refused: {line}")
        self.last_ack = verb
        self.state = words[3]

    def free_channels(self):
        owing = {o.channel for o in self.onsets if o.required and not o.sent}
        return [c for c in CHANNELS if c not in owing]

    def onset(self, channel):
        if channel == "intrusion" and self.state not in ARMED:
            self.command("arm")
        inputs = list(self.inputs)
        inputs[CHANNELS.index(channel)] = 1
        onset = Onset(channel, self.set_inputs(inputs), self.boot, self.state)
        self.onsets.append(onset)
        return onset

    def first_attempt(self, onset, timeout=20):
        return self.wait(lambda line: line.startswith("attempt ") and onset.first_seen, timeout)

    def scene(self, kind):
        """Plays the scene and returns when to cut, as what it was."""
        channels = self.free_channels()
        if kind != "arm" and not channels:
            # What the spool resumed is still on its way: a script's time for it.
            self.wait(lambda line: bool(self.free_channels()), SCRIPT_WORK_S * 3)
            channels = self.free_channels()
        if kind != "arm" and not channels:
            kind = "arm"
        if kind == "arm":
            if self.state in ARMED:
                self.command("disarm")
            last = self.rng.choice(("arm", "arm", "disarm"))
            if last == "disarm":
                self.command("arm")
            self.command(last)
            delay = self.rng.uniform(0, 0.3)
            what = f"{delay * 1000:.0f} ms after {last} was acknowledged"
        else:
            channel = self.rng.choice(channels)
            if kind == "retry":
                self.link.send(f"fail {channel} 2")
                self.wait(lambda line: line.startswith("failing "), 10)
            onset = self.onset(channel)
            if kind == "onset" and self.rng.random() < 0.5:
                delay = self.rng.uniform(0, 0.2)
                what = f"{delay * 1000:.0f} ms after the {channel} onset"
            elif kind == "onset":
                # At the first word of it from the guest, while the spool entry,
                # the script and the panel's state are being written.
                signs = {"triggered": "event=panel state=triggered" if channel == "intrusion" else None,
                         "script's start": f"event=notification channel={channel} ",
                         "first attempt": f"attempt ok {channel} alarm 1 "}
                line = self.wait(lambda line: any(s and s in line for s in signs.values()), 10)
                delay = 0
                what = f"at the {channel} onset's " + next((n for n, s in signs.items() if s and line and s in line),
                                                           "silence (10 s)")
            else:
                if self.first_attempt(onset) is None:
                    self.fault(f"no first attempt of the {channel} script within 20 s of its onset")
                    return "after a missing first attempt"
                if kind == "script":
                    # Often at once: the entry must be on disk before the script starts.
                    delay = self.rng.choice((0, self.rng.uniform(0, SCRIPT_WORK_S + 0.5)))
                    what = f"{delay * 1000:.0f} ms into the {channel} script"
                else:
                    delay = self.rng.uniform(SCRIPT_WORK_S, SCRIPT_WORK_S * 2 + RETRY_BASE_S * 4)
                    what = f"{delay * 1000:.0f} ms into the {channel} retries"
        self.wait(lambda line: False, delay)
        return what

    def finish(self):
        """The last boot: everything owed delivered, then a clean power-off."""
        owed = lambda: [o for o in self.onsets if o.required and not o.sent]  # noqa: E731
        end = time.monotonic() + self.args.settle
        while owed() and time.monotonic() < end:
            self.wait(lambda line: False, 0.5)
        self.link.send("quit")
        if self.wait(lambda line: line.startswith("down "), 60) is None:
            self.fault("the guest did not shut down when asked")
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.link.drop()
        self.drain()
        for onset in owed():
            why = "its first attempt reached the host" if onset.first_seen else "the panel restored it as triggered"
            later = [o for o in self.onsets if o.channel == onset.channel and o.at > onset.at and o.sent]
            self.fault(f"the {onset.channel} onset of boot {onset.boot} was never delivered, though {why}"
                       + (f" (a later {onset.channel} event, of boot {later[0].boot}, was)" if later else ""))
        self.fsck(replay=False)

    def figures(self):
        seen = [o for o in self.onsets if o.first_seen]
        delivered = [o for o in self.onsets if o.sent]
        return {"cuts": self.cuts, "boots": self.boot, "hung boots": self.hung, "onsets made": len(self.onsets),
                "onsets seen": len(seen), "delivered": len(delivered),
                "seen and delivered": sum(1 for o in seen if o.sent),
                "duplicates": sum(o.sent - 1 for o in delivered), "faults": len(self.faults)}


def make_payload(root):
    """The panel's code and this test's scripts, where the service looks for them."""
    systemd_test.write(root, CODE_FILE, "24680135\n", 0o600)
    for name in ("Fire.sh", "Flood.sh", "Intruder.sh", "Fault.sh"):
        systemd_test.write(root, f"/etc/rs232-phone-home/{name}",
                           SCRIPT.format(work=SCRIPT_WORK_S, agent=AGENT), 0o755)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--service", required=True)
    parser.add_argument("--ctl", required=True, help="vserial_ctl, the virtual device's helper")
    parser.add_argument("--preload", required=True, help="libvserial_preload.so, QEMU's LD_PRELOAD")
    parser.add_argument("--work", required=True)
    parser.add_argument("--cache", required=True, help="folder for the kernel, kept between runs")
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--cuts", type=int, default=12)
    parser.add_argument("--seed", type=int, default=None, help="the random cuts' seed (default: new each run)")
    parser.add_argument("--boot-timeout", type=float, default=90)
    parser.add_argument("--settle", type=float, default=30, help="seconds the last boot waits for what is owed")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 31)

    try:
        qemu_bin, busybox = qemu.host_tools()
        if not shutil.which("mkfs.ext4", path="/usr/sbin:/sbin:/usr/bin"):
            raise qemu.Failure("missing e2fsprogs: run tools/setup.sh")
    except qemu.Failure as e:
        qemu.log(f"FAIL: {e}")
        return 1
    os.environ["PATH"] += ":/usr/sbin:/sbin"
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    started = time.monotonic()
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=os.path.abspath(args.work))
    run = None
    com2 = None
    try:
        vmlinuz, modules = qemu.prepare_kernel(
            os.path.abspath(args.cache), qemu.WANTED_MODULES + ("overlay", "virtio_blk", "ext4", "crc32c_generic"))
        payload = os.path.join(work, "payload")
        make_payload(payload)
        service = os.path.abspath(args.service)
        qemu.check_paths([payload, HERE, work, service])
        initramfs = os.path.join(work, "initramfs.cpio")
        qemu.make_initramfs(initramfs, busybox, modules, systemd_test.guest_init(
            modules, payload, GUEST_INIT.replace("@SERVICE@", service), MOUNT_STATE))
        run = PowerCut(args, work)
        subprocess.run(["truncate", "-s", "32M", run.image], check=True)
        qemu.run(["mkfs.ext4", "-q", "-F", "-L", "phone-home", run.image])
        com2 = qemu.Com2(os.path.abspath(args.ctl), os.path.abspath(args.preload), os.path.join(work, "devices"))
        run.com2 = com2
        run.set_inputs([0, 0, 0])
        accel, accel_args = qemu.accelerator()
        console = os.path.join(work, "console.log")
        cmd = qemu.qemu_command(qemu_bin, accel_args, vmlinuz, initramfs,
                                "console=ttyS0,115200 panic=-1 quiet loglevel=4", console, com2.tty)
        # One console log over every boot.
        cmd[cmd.index(f"file,id=console,path={console}")] += ",append=on"
        cmd += ["-chardev", f"socket,id=com3,path={run.link.path}", "-serial", "chardev:com3",
                "-drive", f"file={run.image},if=virtio,format=raw"]
        qemu.log(f"power-cut test: seed {args.seed}, {args.cuts} cuts under {accel}")
        scenes = []
        for cut in range(args.cuts):
            if not scenes:
                scenes = list(SCENES)
                run.rng.shuffle(scenes)
            took = run.power_on(cmd, com2.env)
            what = run.scene(scenes.pop())
            run.cut()
            qemu.log(f"boot {run.boot}: ready after {took:.1f} s, state {run.ready.get('state')}; cut {what}")
        took = run.power_on(cmd, com2.env)
        qemu.log(f"boot {run.boot}: ready after {took:.1f} s, state {run.ready.get('state')}; the last")
        run.finish()
    except (qemu.Failure, OSError, subprocess.CalledProcessError) as e:
        qemu.log(f"FAIL: {e}")
        if run is not None:
            run.faults.append(str(e))
        else:
            return 1
    finally:
        if run is not None and run.proc is not None and run.proc.poll() is None:
            run.proc.kill()
            run.proc.wait()
        if com2 is not None:
            com2.close()
    figures = run.figures()
    # Also as CTest's measurements, kept with the test's result.
    for name, value in figures.items():
        qemu.log(f'<DartMeasurement name="{name}" type="numeric/integer">{value}</DartMeasurement>')
    qemu.log(f"power-cut figures: {', '.join(f'{n} {v}' for n, v in figures.items())}; seed {args.seed}; "
             f"{time.monotonic() - started:.0f} s")
    if run.faults:
        dest = os.path.abspath(args.artifacts)
        os.makedirs(dest, exist_ok=True)
        for name in ("link.log", "console.log", "qemu.log", "state.img"):
            if os.path.exists(os.path.join(work, name)):
                shutil.copy(os.path.join(work, name), os.path.join(dest, "powercut-" + name))
                qemu.log(f"    kept {os.path.join(dest, 'powercut-' + name)}")
        for f in run.faults:
            qemu.log(f"FAIL: {f}")
        shutil.rmtree(work, ignore_errors=True)
        return 1
    qemu.log("PASS")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
