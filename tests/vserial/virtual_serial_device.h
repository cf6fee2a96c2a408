// SPDX-License-Identifier: MIT
#pragma once

// A pseudo-terminal that tests use as an RS-232 port: the test drives CTS,
// DSR and DCD and reads back DTR and RTS, while the code under test goes
// through the real QSerialPort path (open, tcsetattr, TIOCM* ioctls).
//
// Linux ptys have no modem lines, so the lines live in a small shared file in
// the device directory and libvserial_preload.so answers the line ioctls from
// it. Set-up, in the environment of the test process before it starts:
//
//     LD_PRELOAD=<path of libvserial_preload.so>
//     VSERIAL_DEVICES=<a directory of its own, e.g. under the build tree>
//
// VSERIAL_DEVICES is colon-separated; each entry is a device directory or a
// parent whose subdirectories are devices, and the preload rescans it on every
// lookup. So devices made at run time under the first entry (the default
// parent below) are found, by the test process and by any program it starts
// with the same environment (an end-to-end test of the real executable).
// Without LD_PRELOAD nothing is emulated; isPreloadActive() tells.
//
// The preload also refuses /dev/ttyS* and /dev/com* (ENOENT) unless such a
// path is a device's alias, so a test can never open the machine's console.
//
// Like the kernel's serial drivers, every change of an input is counted
// (TIOCGICOUNT) and wakes a program blocked in TIOCMIWAIT, which a signal
// interrupts with EINTR and an unplug ends with EIO.
//
// QSerialPort locks a port with /var/lock/LCK..<name>, shared by all
// processes: tests that open the same alias name must not run at the same
// time (CTest: RESOURCE_LOCK vserial_alias). pty paths are unique anyway.
//
// Emulated like a UART used by an unprivileged user: opening raises DTR and
// RTS, closing drops them, a second open of a port held with TIOCEXCL (as
// QSerialPort does) fails with EBUSY even for root. TIOCM_LOOP is kept
// across close and reopen, as the 8250 driver keeps it; only the bit is
// emulated, the outputs do not loop back to the inputs (a loopback plug,
// setLoopback(), wires them outside the UART).

#include <QList>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <memory>

#include <sys/ioctl.h> // TIOCM_* for setLine()/line()

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000 // <asm/termbits.h>; glibc's headers leave it out
#endif

struct vserial_state;
class QTemporaryDir;

class VirtualSerialDevice
{
public:
    // parentDir empty: the first entry of $VSERIAL_DEVICES, else the temp dir
    // (then only processes given environmentValue() see the device).
    explicit VirtualSerialDevice(const QString &parentDir = QString());
    ~VirtualSerialDevice();
    Q_DISABLE_COPY_MOVE(VirtualSerialDevice)

    bool isValid() const { return m_state != nullptr; }
    QString errorString() const { return m_error; }

    QString deviceDir() const;
    QString slavePath() const { return m_slave; } // e.g. /dev/pts/7; pass it to setPortName()
    int masterFd() const { return m_master; }     // what the program writes can be read here

    // Another absolute path under /dev/ that opens this device, e.g. /dev/com3.
    // It need not exist on disk; stat() and access() see it as the device node.
    bool setAlias(const QString &path);
    QString alias() const { return m_alias; }

    // Input lines: TIOCM_CTS, TIOCM_DSR, TIOCM_CAR, TIOCM_RNG. Also DTR, RTS
    // and TIOCM_LOOP, to change them behind the program's back (another
    // program, or a loopback bit left set from before).
    void setLine(int tiocmBit, bool high);
    bool line(int tiocmBit) const;
    void setInputs(bool cts, bool dsr, bool dcd); // all three at once
    // The line to the other level and back after length (0: at once, so no
    // reading can see it; only the edge counters and a waiter do).
    void pulse(int tiocmBit, std::chrono::microseconds length);
    // Edges of an input counted so far, as TIOCGICOUNT answers.
    quint32 edges(int tiocmBit) const;
    // A dry contact from DTR to an input: closed, the input reads high
    // whenever DTR is high (as well as when set high itself).
    void setContactFromDtr(int tiocmBit, bool closed);
    // A loopback plug: each input in fromDtr (TIOCM_* bits) reads high while
    // DTR is high, each in fromRts while RTS is. The standard plug is
    // setLoopback(TIOCM_DSR | TIOCM_CAR, TIOCM_CTS); leave a bit out for a
    // broken wire, add TIOCM_RNG to fromDtr for a plug that wires RI.
    void setLoopback(quint32 fromDtr, quint32 fromRts);
    bool dtr() const;
    bool rts() const;

    // Whether closing the port drops DTR and RTS (the tty's HUPCL flag, as
    // `stty hupcl`); on by default, as on a real port.
    bool setHangUpOnClose(bool on);

    // Unplugged: line ioctls fail with EIO, open and stat with ENOENT.
    void setVanished(bool vanished);
    // No permission: open and access(R_OK/W_OK) fail with EACCES, even for root.
    void setDenied(bool denied);

    // What the emulated driver offers, as the kernel's drivers differ:
    // TIOCMIWAIT and TIOCGICOUNT (8250, ftdi_sio), the wait only (pl2303,
    // ch341: TIOCGICOUNT fails with EINVAL), or neither (cp210x).
    enum class DriverSupport { WaitAndCount, WaitOnly, Neither };
    void setDriverSupport(DriverSupport support);

    // Line ioctls answered by the preload, failed ones included, and of
    // those the ones that set or clear lines (TIOCMBIS, TIOCMBIC, TIOCMSET).
    // TIOCGICOUNT is a request like TIOCMGET; TIOCMIWAIT is counted apart.
    quint32 ioctlCount() const;
    quint32 writeCount() const;
    quint32 waitCount() const;

    // Every line ioctl waits this long before it is answered, like the round
    // trip to a USB adapter's chip (about 1 ms). 0, the default, waits not.
    void setLatency(quint32 microseconds);

    // Value for VSERIAL_DEVICES naming exactly these devices.
    static QString environmentValue(const QList<const VirtualSerialDevice *> &devices);
    static QString defaultParentDir();
    static bool isPreloadActive();

private:
    bool create(const QString &parent);
    bool fail(const QString &what);
    void setFlag(quint32 flag, bool on);

    std::unique_ptr<QTemporaryDir> m_dir;
    int m_master = -1;
    QString m_slave;
    QString m_alias;
    QString m_error;
    vserial_state *m_state = nullptr;
};
