#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the service and its test unit under systemd itself, inside QEMU.

The guest is the real-driver test's (tests/qemu): Debian's kernel, two
16550A UARTs (COM1 the console, COM2 /dev/ttyS1 the port under test), and
here a third, COM3 /dev/ttyS2, with a fake GSM modem of this test's behind it; this
machine's root over virtio-9p. Here it is read-only beneath a tmpfs in an
overlay, and the initramfs hands over to /lib/systemd/systemd, which boots
straight into phone-home-checks.target. What goes into the writable layer
first (the units as the build generates them, the example scripts set to
mail this test's sinks, a postfix and an msmtp configuration) is laid out
here, under --work. guest_checks.py runs as a unit in the guest and prints
one QEMU-CHECK line per check, which run_qemu_test.run_guest turns into the
exit status.
"""

import argparse
import os
import re
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# No compiled files in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "qemu"))
import run_qemu_test as qemu  # noqa: E402  (shares the kernel, initramfs and QEMU set-up)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))
from fake_modem import FakeModem  # noqa: E402

TARGET = "phone-home-checks.target"

INIT = qemu.INIT_START + r'''mkdir -p /lower /rw /root
mount -t 9p -o ro,trans=virtio,version=9p2000.L,cache=loose,msize=262144 hostroot /lower || fail "mounting the host's root"
mount -t tmpfs -o mode=0755 rw /rw || fail "tmpfs"
mkdir -p /rw/upper /rw/work
mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /root || fail "overlay"
# The test's files: root's, as cp runs as root, whoever built them.
cp -R /lower@PAYLOAD@/. /root/ || fail "copying the test's files"
chmod 0755 /root/etc/rs232-phone-home /root/etc/rs232-phone-home/*.sh
chmod 0644 /root/etc/rs232-phone-home/phone-home-common.sh
# The guest's own kernel views, not the host's through 9p.
mount -t devtmpfs dev /root/dev || fail "devtmpfs"
mount -t proc proc /root/proc || fail "proc"
mount -t sysfs sys /root/sys || fail "sysfs"
# A container's marker would make systemd take the guest for a container,
# and ignore the kernel's command line.
rm -f /root/.dockerenv /root/run/.containerenv
@MOUNTS@
echo "QEMU-GUEST-START $(uname -r)"
exec switch_root /root @INIT@
'''

CHECKS_UNIT = """[Unit]
Description=The service's mail, push and log under systemd
After=basic.target

[Service]
Type=exec
ExecStart=/usr/bin/python3 {checks} --service {service} --uart-ctl {uart_ctl}
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
# Checks that could not even start end the guest too, not the test's timeout.
ExecStopPost=/bin/sh -c 'if [ "$$SERVICE_RESULT" != success ]; then echo "QEMU-CHECK FAIL checks-unit: $$SERVICE_RESULT $$EXIT_STATUS"; echo QEMU-GUEST-END; systemctl poweroff --force --force; fi'
"""

TARGET_UNIT = """[Unit]
Description=Boot for the service's systemd test
Requires=phone-home-checks.service basic.target
After=basic.target
AllowIsolate=yes
"""

# Local delivery only, on loopback: Fire.sh's mail lands in /var/mail/alarm.
POSTFIX_MAIN = """compatibility_level = 3.6
myhostname = guest.localdomain
mydestination = $myhostname, localhost.localdomain, localhost
inet_interfaces = loopback-only
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks reject_unauth_destination
alias_maps =
alias_database =
mailbox_size_limit = 0
biff = no
"""

# Flood.sh's mail goes to the SMTP sink of guest_checks.py.
MSMTPRC = """account default
host 127.0.0.1
port 2525
from rs232-phone-home@guest.localdomain
syslog LOG_MAIL
"""

# Each example script set to one way out, so one alarm tries each.
SCRIPT_SETTINGS = {
    "Fire.sh": {"TO": "alarm@localhost", "PUSH_URL": ""},
    # The second path alone, through the fake modem on COM3.
    "Sms.sh": {"TO": "", "PUSH_URL": "", "SMS_TO": "+491701234567", "GSM_DEVICE": "/dev/ttyS2", "GSM_TIMEOUT": "60"},
    "Flood.sh": {"TO": "flood@example.org", "PUSH_URL": "", "MAIL_VIA": "msmtp"},
    "Intruder.sh": {"TO": "", "PUSH_URL": "http://127.0.0.1:8080/intrusion"},
    # Nothing listens on port 9: the push fails, which the journal must show.
    "Fault.sh": {"TO": "", "PUSH_URL": "http://127.0.0.1:9/device"},
    # The way that failed under the service before: postfix's sendmail.
    "Sendmail.sh": {"TO": "alarm@localhost", "PUSH_URL": "", "MAIL_VIA": "sendmail", "MAIL_TIMEOUT": "8"},
    # A server that takes the connection and never answers.
    "Silent.sh": {"TO": "alarm@localhost", "PUSH_URL": "", "SMTP_URL": "smtp://127.0.0.1:2526", "MAIL_TIMEOUT": "5"},
}


def configured_script(text, settings):
    """An example script with its settings replaced; those it lacks go just
    above the line that sources phone-home-common.sh."""
    extra = []
    for name, value in settings.items():
        text, count = re.subn(rf'^{name}=.*$', f'{name}="{value}"', text, flags=re.M)
        if not count:
            extra.append(f'{name}="{value}"\n')
    marker = "# shellcheck source-path"
    if extra:
        if marker not in text:
            raise qemu.Failure("an example script no longer sources phone-home-common.sh as expected")
        text = text.replace(marker, "".join(extra) + marker, 1)
    return text


def write(root, path, text, mode=0o644):
    full = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w") as f:
        f.write(text)
    os.chmod(full, mode)


def make_payload(root, args):
    """The guest's files over the host's, as a package and an administrator would put them."""
    # Installed where a package puts it: a build under /tmp would be out of
    # the service's sight behind its PrivateTmp.
    sbindir = "/usr/sbin"
    os.makedirs(os.path.join(root, "usr/sbin"), exist_ok=True)
    shutil.copy2(args.service, os.path.join(root, "usr/sbin/rs232-phone-homed"))
    for unit in ("rs232-phone-homed@.service", "rs232-phone-home-test@.service"):
        with open(os.path.join(args.units, unit + ".in")) as f:
            write(root, f"/etc/systemd/system/{unit}", f.read().replace("@SBINDIR@", sbindir))
    with open(os.path.join(args.source, "resources/systemd/rs232-phone-home.sysusers")) as f:
        write(root, "/etc/sysusers.d/rs232-phone-home.conf", f.read())
    write(root, "/etc/sysusers.d/alarm-mailbox.conf", 'u alarm - "alarm mailbox" /nonexistent\n')
    write(root, "/etc/default/rs232-phone-homed",
          'RS232_PHONE_HOMED_OPTIONS="--dtr --rts --code-file /etc/rs232-phone-home/code"\n')
    # Not the 4711 of the unit tests: a pid could hold that, and the check looks for the code in the journal.
    write(root, "/etc/rs232-phone-home/code", "90817263\n", 0o600)
    examples = os.path.join(args.source, "examples/notifications")
    with open(os.path.join(examples, "phone-home-common.sh")) as f:
        write(root, "/etc/rs232-phone-home/phone-home-common.sh", f.read())
    for name, settings in SCRIPT_SETTINGS.items():
        # The extra ones are Fire.sh with other settings.
        with open(os.path.join(examples, name if name in os.listdir(examples) else "Fire.sh")) as f:
            text = configured_script(f.read(), settings)
        write(root, f"/etc/rs232-phone-home/{name}", text, 0o755)
    write(root, "/etc/postfix/main.cf", POSTFIX_MAIN)
    write(root, "/etc/msmtprc", MSMTPRC)
    write(root, "/etc/systemd/system/phone-home-checks.service",
          CHECKS_UNIT.format(checks=os.path.join(HERE, "guest_checks.py"), service="/usr/sbin/rs232-phone-homed",
                             uart_ctl=os.path.abspath(args.uart_ctl)))
    write(root, f"/etc/systemd/system/{TARGET}", TARGET_UNIT)
    # Debian empties /tmp at boot ("D /tmp"), which would hide a checkout or
    # build under /tmp from the guest: keep what is there.
    write(root, "/etc/tmpfiles.d/tmp.conf", "d /tmp 1777 root root -\n")


def guest_init(modules, payload, init, mounts=""):
    """INIT for these module files and the payload's folder on the host: the
    root laid out, mounts (shell lines) run, then init's command line as PID 1."""
    return (INIT.replace("@MODULES@", " ".join(os.path.basename(m) for m in modules))
            .replace("@PAYLOAD@", payload)
            .replace("@MOUNTS@", mounts)
            .replace("@INIT@", init)
            .replace("@END@", qemu.END_MARK))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--service", required=True)
    parser.add_argument("--uart-ctl", required=True)
    parser.add_argument("--units", required=True, help="the build's generated units (*.service.in)")
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cache", required=True, help="folder for the kernel, kept between runs")
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--timeout", type=float, default=600)
    args = parser.parse_args()

    tools = {"qemu-system-x86": shutil.which("qemu-system-x86_64"),
             "busybox-static": next((p for p in ("/bin/busybox", "/usr/bin/busybox") if os.path.isfile(p)), None),
             "systemd": "/lib/systemd/systemd" if os.path.exists("/lib/systemd/systemd") else None,
             "postfix": shutil.which("postfix", path="/usr/sbin"),
             "msmtp": shutil.which("msmtp"), "curl": shutil.which("curl"), "gammu": shutil.which("gammu"),
             "apt-get": shutil.which("apt-get"), "dpkg-deb": shutil.which("dpkg-deb")}
    missing = [name for name, path in tools.items() if not path]
    if missing:
        qemu.log(f"FAIL: missing {', '.join(missing)}: run tools/setup.sh")
        return 1
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    started = time.monotonic()
    try:
        vmlinuz, modules = qemu.prepare_kernel(os.path.abspath(args.cache), qemu.WANTED_MODULES + ("overlay",))
    except (qemu.Failure, OSError, ValueError) as e:
        qemu.log(f"FAIL: preparing the guest kernel: {e}")
        return 1
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="run-", dir=os.path.abspath(args.work))
    payload = os.path.join(work, "payload")
    try:
        make_payload(payload, args)
    except (qemu.Failure, OSError) as e:
        qemu.log(f"FAIL: preparing the guest's files: {e}")
        return 1
    # They go onto the guest's shell lines.
    if any(c in "".join([payload, HERE, args.service, args.uart_ctl]) for c in " ,'\"$\\`"):
        qemu.log("FAIL: a path here holds a space, comma, quote, $ or backslash, which the guest cannot take")
        return 1
    console = os.path.join(work, "console.log")
    initramfs = os.path.join(work, "initramfs.cpio")
    qemu.make_initramfs(initramfs, tools["busybox-static"], modules,
                        guest_init(modules, payload, f"/lib/systemd/systemd --unit={TARGET}"))

    accel, accel_args = qemu.accelerator()
    # fstab=no: the host's fstab names disks the guest does not have.
    append = (f"console=ttyS0,115200 panic=-1 quiet loglevel=3 systemd.unit={TARGET} fstab=no "
              "systemd.show_status=false systemd.log_target=console systemd.log_level=warning "
              "systemd.firstboot=no")
    cmd = qemu.qemu_command(tools["qemu-system-x86"], accel_args, vmlinuz, initramfs, append, console)
    # COM3 (/dev/ttyS2): a GSM modem answering on a pseudo-terminal of this test's.
    modem = FakeModem("ok")
    cmd += ["-chardev", f"serial,id=com3,path={modem.device}", "-serial", "chardev:com3"]
    qemu.log(f"booting {os.path.basename(vmlinuz)} with systemd under {accel} (console: {console})")
    try:
        status = qemu.run_guest(cmd, work, console, args.timeout, args.artifacts, started, accel, "systemd",
                                "systemd-")
    finally:
        modem.close()
    texts = [text for _, text in modem.messages]
    if not any(text.startswith("TEST: SMOKE or FIRE DETECTED") for text in texts):
        qemu.log(f"FAIL: the fake modem on COM3 got no TEST SMS from the guest: {texts}")
        return 1
    qemu.log(f"PASS: the fake modem on COM3 got {texts[0]!r}")
    return status


if __name__ == "__main__":
    sys.exit(main())
