// SPDX-License-Identifier: MIT
#include "qt_serial_port.h"

#include "port_holder.h"

#include <QFileInfo>

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif

#if defined(Q_OS_LINUX) && !defined(TIOCM_LOOP)
#define TIOCM_LOOP 0x8000 // <asm/termbits.h>; glibc's headers leave it out
#endif

namespace {
// The open ports, for closeAllOpen(). One thread only, like the rest.
QList<QtSerialPort *> &openPorts()
{
    // Never destroyed: closeAllOpen() runs from exit handlers, after static
    // objects made later than its registration are gone.
    static auto *ports = new QList<QtSerialPort *>;
    return *ports;
}

// No data is exchanged; a small bounded buffer keeps a chattering device from
// growing memory over days of polling.
constexpr qint64 kReadBufferSize = 1024;

// What to do about a device this user may not open. Joining its group helps
// only when that group may read and write it and is not root's.
QString permissionAdvice(const QString &device)
{
#ifdef Q_OS_UNIX
    struct stat st {
    };
    if (::stat(QFile::encodeName(device).constData(), &st) == 0) {
        const group *g = ::getgrgid(st.st_gid);
        const QString groupName = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
        if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return QtSerialPort::tr("Add your user to the group '%1' (sudo usermod -aG %1 $USER), "
                                    "then log out and in again.")
                .arg(groupName);
        }
        const passwd *owner = ::getpwuid(st.st_uid);
        const QString ownerName = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid);
        return QtSerialPort::tr("The device belongs to user '%1' and group '%2' with mode %3, so joining its group "
                                "does not help. Give it to a group you are in with a udev rule "
                                "(GROUP=\"dialout\", MODE=\"0660\"; see \"Which device is port N\" in "
                                "docs/using-the-window.md), or ask its owner.")
            .arg(ownerName, groupName, QString::number(st.st_mode & 07777, 8).rightJustified(4, u'0'));
    }
#else
    Q_UNUSED(device)
#endif
    return QtSerialPort::tr("Add your user to the group that owns the device (usually 'dialout': "
                            "sudo usermod -aG dialout $USER), then log out and in again.");
}

// Whether the kernel files the character device under another class than
// tty (/dev/null is "mem"). Read from sysfs, so nothing is opened; where sysfs
// says nothing (a pseudo-terminal), the device may well be a terminal.
bool isOtherThanTerminal(const QString &device)
{
#ifdef Q_OS_LINUX
    struct stat st {
    };
    if (::stat(QFile::encodeName(device).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const QString link = QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    const QString subsystem = QFileInfo(link).symLinkTarget();
    return !subsystem.isEmpty() && QFileInfo(subsystem).fileName() != QLatin1String("tty");
#else
    Q_UNUSED(device)
    return false;
#endif
}

bool mayReadWrite(const QString &device)
{
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(device)
    return true;
#endif
}
}

QtSerialPort::QtSerialPort(PortMapping mapping, QObject *parent)
    : SerialPort(parent)
    , m_mapping(std::move(mapping))
    , m_watcher(
          this, [this](const LineReading &reading) { Q_EMIT linesWatched(reading); },
          [this](int error) { watchEnded(error); })
{
    m_port.setReadBufferSize(kReadBufferSize);
}

QtSerialPort::~QtSerialPort()
{
    close();
}

void QtSerialPort::closeAllOpen() noexcept
{
    const QList<QtSerialPort *> ports = openPorts();
    for (QtSerialPort *port : ports)
        port->close();
}

void QtSerialPort::close() noexcept
{
    openPorts().removeAll(this);
    // The thread reads the descriptor: it ends before the descriptor does.
    m_watcher.stop();
    m_watch = LineWatch::Poll;
    m_driver = AdapterDriver();
    if (!m_port.isOpen())
        return;
        // Lower the outputs ourselves: a port set to -hupcl keeps them up on close.
#ifdef Q_OS_LINUX
    int outputs = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(m_port.handle(), TIOCMBIC, &outputs); // one request; a failure is the close's business
#else
    m_port.setDataTerminalReady(false);
    m_port.setRequestToSend(false);
#endif
    m_port.close();
}

// Root may open a tty that another program holds with TIOCEXCL, and
// QSerialPort would take it over and clear that program's flag on close. Look
// before QSerialPort opens: returns an fd to keep open until then, or -1.
int QtSerialPort::probeExclusive(const QString &device)
{
#if defined(Q_OS_LINUX) && defined(TIOCGEXCL)
    if (::geteuid() != 0)
        return -1; // the kernel refuses everyone else itself (EBUSY)
    const auto held = [&] {
        const QList<PortHolder> holders = PortHolder::openersOf(device);
        return PhoneHomeError(ErrorCode::DeviceBusy,
                              tr("Cannot open %1: %2 is held for exclusive use by %3. %4")
                                  .arg(portName(), PortMapping::withLinkTarget(device), PortHolder::describe(holders),
                                       PortHolder::advice(holders, device)));
    };
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY)
            throw held();
        return -1; // QSerialPort's own open names the failure
    }
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ::close(fd);
        throw held();
    }
    return fd;
#else
    Q_UNUSED(device)
    return -1;
#endif
}

QString QtSerialPort::portAndDevice() const
{
    if (!m_devicePath.isEmpty())
        return m_device;
    return tr("port %1 (%2)").arg(m_commPort).arg(m_device);
}

QString QtSerialPort::portName() const
{
    return m_devicePath.isEmpty() ? tr("port %1").arg(m_commPort) : m_devicePath;
}

void QtSerialPort::setDevicePath(const QString &path)
{
    if (m_port.isOpen()) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             tr("Cannot change to %1: %2 is already open. Close it first.").arg(path, portAndDevice()));
    }
    m_devicePath = path;
}

void QtSerialPort::setCommPort(int port)
{
    if (m_port.isOpen()) {
        throw PhoneHomeError(
            ErrorCode::PortAlreadyOpen,
            tr("Cannot change to port %1: %2 is already open. Close it first.").arg(port).arg(portAndDevice()));
    }
    m_commPort = port;
    m_devicePath.clear();
}

void QtSerialPort::setPortOpen(bool open)
{
    if (!open) {
        close();
        return;
    }
    if (m_port.isOpen()) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             tr("Cannot open %1: it is already open.").arg(portAndDevice()));
    }
    if (m_devicePath.isEmpty() && m_commPort < 1) {
        throw PhoneHomeError(ErrorCode::InvalidPortNumber,
                             tr("Cannot open port %1: port numbers start at 1. "
                                "Pick a port from the list or type its number.")
                                 .arg(m_commPort));
    }

    m_device = m_devicePath.isEmpty() ? m_mapping.devicePath(m_commPort) : m_devicePath;
    // Looked up in sysfs, so an empty slot is named without opening it.
    if (m_mapping.lacksUart(m_device))
        throwNoUart(m_device);
    checkIsSerialDevice(m_device);
    m_lock.check(portName(), m_device);
    const int probe = probeExclusive(m_device);
    m_port.setPortName(m_device);
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    // RTS is ours to drive, so no hardware handshake may claim it.
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    const bool opened = m_port.open(QIODevice::ReadWrite);
#ifdef Q_OS_UNIX
    if (probe >= 0)
        ::close(probe);
#endif
    if (!opened)
        throwOpenError(m_device);

    openPorts().append(this);
    // Read afresh at every open: a link may lead elsewhere since the last.
    m_driver = AdapterDriver::named(m_mapping.driverName(m_device));
    LineState lines;
    const bool looped = settleLines(&lines);
    m_outputs = lines;
    if (looped) {
        Q_EMIT noticed(tr("%1 was left in loopback mode, where a port reads its own DTR and RTS back "
                          "as DSR and CTS. Loopback is now switched off, so the discs show the lines at the "
                          "connector.")
                           .arg(portAndDevice()));
    }
    startWatching(lines);
}

// Watched by the driver's edges where it offers them. The 8250 driver counts
// edges only while its modem-status interrupt is on, which a waiter turns on:
// the counters are trusted from the first wait on, and the settings are not
// changed after it.
void QtSerialPort::startWatching(const LineState &lines)
{
#ifdef Q_OS_LINUX
    const int fd = m_port.handle();
    m_watchStart = LineReading();
    m_watchStart.lines = lines;
    // Where the table knows the driver, it decides: no trial wait on one that
    // cannot wait, and no counters read where they never move.
    if (m_driver.known && !m_driver.canWait) {
        m_watch = LineWatch::Poll;
        return;
    }
    int error = 0;
    m_watchStart.counted = (!m_driver.known || m_driver.countsEdges)
        && LineWatcher::readEdges(fd, &m_watchStart.edges, &error, &m_watchStart.ringEdges);
    if (m_watcher.start(fd, m_watchStart, m_driver.known))
        m_watch = m_watchStart.counted ? LineWatch::WaitAndCount : LineWatch::Wait;
    else
        m_watch = LineWatch::Poll;
#else
    Q_UNUSED(lines)
#endif
}

bool QtSerialPort::readCounters(LineReading *reading)
{
    int error = 0;
    if (m_watch != LineWatch::WaitAndCount
        || !LineWatcher::readEdges(m_port.handle(), &reading->edges, &error, &reading->ringEdges))
        return false;
    reading->counted = true;
    return true;
}

void QtSerialPort::watchEnded(int error)
{
    // A driver that turns the wait down after all is polled instead.
    const bool fallBack = LineWatcher::isUnsupported(error) && m_watch != LineWatch::Poll;
    m_watcher.stop();
    m_watch = LineWatch::Poll;
    if (fallBack) {
        Q_EMIT lineWatchChanged(m_watch);
        return;
    }
    Q_EMIT watchFailed(int(ErrorCode::DeviceFailed),
                       tr("Lost %1 while waiting for the input lines: %2. "
                          "Check the cable or adapter, then open the port again.")
                           .arg(portAndDevice(), QString::fromLocal8Bit(std::strerror(error))));
}

// The kernel raises DTR and RTS on open, before any program can act. An
// output not wanted at open goes down at once; one wanted stays up instead of
// dropping for a moment. The 8250 driver also keeps a loopback bit across
// close and reopen, and a port left in loopback shows its own outputs as
// inputs. One reading and at most two writes settle all. Returns whether
// loopback had been on.
bool QtSerialPort::settleLines(LineState *state)
{
#ifdef Q_OS_LINUX
    const int fd = m_port.handle();
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        throwSettleFailure(QString::fromLocal8Bit(std::strerror(errno)));
    // The inputs as they were; the outputs as they are about to be.
    state->cts = lines & TIOCM_CTS;
    state->dsr = lines & TIOCM_DSR;
    state->dcd = lines & TIOCM_CAR;
    state->ri = lines & TIOCM_RNG;
    state->dtr = m_dtrAtOpen;
    state->rts = m_rtsAtOpen;
    const int wanted = (m_dtrAtOpen ? TIOCM_DTR : 0) | (m_rtsAtOpen ? TIOCM_RTS : 0);
    const bool looped = lines & TIOCM_LOOP;
    int clear = (TIOCM_DTR | TIOCM_RTS) & ~wanted;
    if (looped || clear) {
        int bits = clear | (looped ? TIOCM_LOOP : 0);
        if (::ioctl(fd, TIOCMBIC, &bits) != 0) {
            // A driver without loopback may refuse the bit; the outputs still go down.
            const int error = errno;
            if (!looped || (error != EINVAL && error != ENOTTY))
                throwSettleFailure(QString::fromLocal8Bit(std::strerror(error)));
            if (clear && ::ioctl(fd, TIOCMBIC, &clear) != 0)
                throwSettleFailure(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    // Where the kernel did not raise an output that is wanted.
    int raise = wanted & ~lines;
    if (raise && ::ioctl(fd, TIOCMBIS, &raise) != 0)
        throwSettleFailure(QString::fromLocal8Bit(std::strerror(errno)));
    return looped;
#else
    m_port.clearError();
    state->dtr = m_dtrAtOpen;
    state->rts = m_rtsAtOpen;
    if (!m_port.setDataTerminalReady(m_dtrAtOpen) || !m_port.setRequestToSend(m_rtsAtOpen))
        throwSettleFailure(m_port.errorString());
    return false;
#endif
}

void QtSerialPort::throwSettleFailure(const QString &reason)
{
    close();
    throw PhoneHomeError(ErrorCode::DeviceFailed,
                         tr("Opened %1 but could not set DTR and RTS: %2. "
                            "The port was closed; check the device, then open it again.")
                             .arg(portAndDevice(), reason));
}

void QtSerialPort::throwNoUart(const QString &device)
{
    throw PhoneHomeError(ErrorCode::NoUart,
                         tr("Cannot open %1: no serial hardware answers at %2 (the kernel lists its UART "
                            "type as unknown). Pick another port, or check that the port is enabled in the "
                            "BIOS setup.")
                             .arg(portName())
                             .arg(PortMapping::withLinkTarget(device)));
}

void QtSerialPort::throwOpenError(const QString &device)
{
    const QString where = portAndDevice();
    const QString reason = m_port.errorString();
    const QString shown = PortMapping::withLinkTarget(device);
    // The type file may only now read unknown (the slot was probed late).
    if (m_port.error() != QSerialPort::DeviceNotFoundError && m_mapping.lacksUart(device))
        throwNoUart(device);
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        if (m_devicePath.isEmpty() && device != m_mapping.aliasPath(m_commPort)) {
            // Neither comN nor the built-in port is there: most likely an
            // adapter that has no number yet.
            throw PhoneHomeError(
                ErrorCode::NoSuchDevice,
                tr("Cannot open %1: there is no device %2 (%3), and no %4. "
                   "To use an adapter as that port, name it %4 with a udev rule (see \"Which device is "
                   "port N\" in docs/using-the-window.md) "
                   "or by hand until the next boot (sudo ln -s ttyUSB0 %4), type the adapter's "
                   "device path (/dev/ttyUSB0) into the port box, or pick another port.")
                    .arg(portName())
                    .arg(shown, reason, m_mapping.aliasPath(m_commPort)));
        }
        throw PhoneHomeError(ErrorCode::NoSuchDevice,
                             tr("Cannot open %1: there is no device %2 (%3). "
                                "Check that the adapter is plugged in, or pick another port.")
                                 .arg(portName())
                                 .arg(shown, reason));
    case QSerialPort::PermissionError:
        // Qt reports a lock held by another program the same way as a
        // missing permission; the device's own access bits tell them apart.
        if (!mayReadWrite(device)) {
            throw PhoneHomeError(ErrorCode::PermissionDenied,
                                 tr("Cannot open %1: permission denied on %2 (%3). %4")
                                     .arg(portName())
                                     .arg(shown, reason, permissionAdvice(device)));
        }
        // No live lock was found before opening, so this may be QSerialPort
        // failing to make its own lock file: say so rather than "in use".
        if (const QString problem = m_lock.lockFolderProblem(); !problem.isEmpty()) {
            throw PhoneHomeError(ErrorCode::OpenFailed,
                                 tr("Cannot open %1 (%2): %3. Check the lock folder's permissions and "
                                    "free space.")
                                     .arg(portName())
                                     .arg(shown, problem));
        }
        {
            const QList<PortHolder> holders = PortHolder::openersOf(device);
            throw PhoneHomeError(
                ErrorCode::DeviceBusy,
                tr("Cannot open %1: %2 is in use or locked by %3: %4. %5")
                    .arg(portName())
                    .arg(shown, PortHolder::describe(holders), reason, PortHolder::advice(holders, device)));
        }
    default:
        if (isOtherThanTerminal(device)) {
            throw PhoneHomeError(ErrorCode::NoSuchDevice,
                                 tr("Cannot open %1: %2 is a character device but not a serial device (%3). "
                                    "Give a serial device such as /dev/ttyUSB0 or /dev/ttyS0, or a port number.")
                                     .arg(where, shown, reason));
        }
        throw PhoneHomeError(ErrorCode::OpenFailed, tr("Cannot open %1: %2.").arg(where, reason));
    }
}

// A path typed by hand may name anything; the kernel's "Inappropriate
// ioctl for device" does not tell the operator that it is no serial port.
void QtSerialPort::checkIsSerialDevice(const QString &device)
{
#ifdef Q_OS_UNIX
    struct stat st {
    };
    if (::stat(QFile::encodeName(device).constData(), &st) != 0 || S_ISCHR(st.st_mode))
        return; // missing: the open says so; a character device: the open tries it
    const QString kind = S_ISREG(st.st_mode) ? tr("a regular file")
        : S_ISDIR(st.st_mode)                ? tr("a folder")
        : S_ISFIFO(st.st_mode)               ? tr("a named pipe")
        : S_ISSOCK(st.st_mode)               ? tr("a socket")
        : S_ISBLK(st.st_mode)                ? tr("a block device")
                                             : tr("no device");
    throw PhoneHomeError(ErrorCode::NoSuchDevice,
                         tr("Cannot open %1: %2 is %3, not a serial device. Give a serial device such as "
                            "/dev/ttyUSB0 or /dev/ttyS0, or a port number.")
                             .arg(portName(), PortMapping::withLinkTarget(device), kind));
#else
    Q_UNUSED(device)
#endif
}

void QtSerialPort::throwLineError(const QString &what)
{
    throwLineError(what, m_port.errorString());
}

void QtSerialPort::throwLineError(const QString &what, const QString &reason)
{
    throw PhoneHomeError(ErrorCode::DeviceFailed,
                         tr("Lost %1 while %2: %3. "
                            "Check the cable or adapter, then open the port again.")
                             .arg(portAndDevice(), what, reason));
}

QSerialPort::PinoutSignals QtSerialPort::pinouts()
{
    // "No signal" is also what a failed read answers: only the error tells.
    m_port.clearError();
    const QSerialPort::PinoutSignals lines = m_port.pinoutSignals();
    if (m_port.error() != QSerialPort::NoError)
        throwLineError(tr("reading the input lines"));
    return lines;
}

LineState QtSerialPort::readLines()
{
    const QSerialPort::PinoutSignals lines = pinouts();
    LineState state;
    state.cts = lines.testFlag(QSerialPort::ClearToSendSignal);
    state.dsr = lines.testFlag(QSerialPort::DataSetReadySignal);
    state.dcd = lines.testFlag(QSerialPort::DataCarrierDetectSignal);
    state.dtr = lines.testFlag(QSerialPort::DataTerminalReadySignal);
    state.rts = lines.testFlag(QSerialPort::RequestToSendSignal);
    state.ri = lines.testFlag(QSerialPort::RingIndicatorSignal);
    return state;
}

bool QtSerialPort::ctsHolding()
{
    return pinouts().testFlag(QSerialPort::ClearToSendSignal);
}

bool QtSerialPort::dsrHolding()
{
    return pinouts().testFlag(QSerialPort::DataSetReadySignal);
}

bool QtSerialPort::cdHolding()
{
    return pinouts().testFlag(QSerialPort::DataCarrierDetectSignal);
}

// One request: QSerialPort's own setters read all lines first, which on a
// USB adapter doubles the round trips of every change.
void QtSerialPort::setOutput(QSerialPort::PinoutSignal line, bool high, const QString &what)
{
    const bool dtr = line == QSerialPort::DataTerminalReadySignal;
#ifdef Q_OS_LINUX
    if (m_port.isOpen()) {
        int bits = dtr ? TIOCM_DTR : TIOCM_RTS;
        if (::ioctl(m_port.handle(), high ? TIOCMBIS : TIOCMBIC, &bits) != 0)
            throwLineError(what, QString::fromLocal8Bit(std::strerror(errno)));
        outputWritten(dtr, high);
        return;
    }
#endif
    m_port.clearError();
    const bool done = dtr ? m_port.setDataTerminalReady(high) : m_port.setRequestToSend(high);
    if (!done)
        throwLineError(what);
    outputWritten(dtr, high);
}

void QtSerialPort::outputWritten(bool dtr, bool high)
{
    (dtr ? m_outputs.dtr : m_outputs.rts) = high;
    Q_EMIT outputsSet(m_outputs.dtr, m_outputs.rts);
}

void QtSerialPort::setDtrEnable(bool high)
{
    setOutput(QSerialPort::DataTerminalReadySignal, high, tr("setting DTR"));
}

void QtSerialPort::setRtsEnable(bool high)
{
    setOutput(QSerialPort::RequestToSendSignal, high, tr("setting RTS"));
}
