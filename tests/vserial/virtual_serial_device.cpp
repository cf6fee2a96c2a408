// SPDX-License-Identifier: MIT
#include "virtual_serial_device.h"

#include "vserial_state.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include <termios.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

void atomicSet(volatile uint32_t *word, uint32_t bits, bool on)
{
    if (on)
        __atomic_fetch_or(word, bits, __ATOMIC_SEQ_CST);
    else
        __atomic_fetch_and(word, ~bits, __ATOMIC_SEQ_CST);
}
}

VirtualSerialDevice::VirtualSerialDevice(const QString &parentDir)
{
    create(parentDir.isEmpty() ? defaultParentDir() : parentDir);
}

bool VirtualSerialDevice::create(const QString &parent)
{
    if (!QDir().mkpath(parent))
        return fail(QStringLiteral("cannot create %1").arg(parent));
    m_dir = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/dev-XXXXXX"));
    if (!m_dir->isValid())
        return fail(QStringLiteral("cannot create a device directory in %1: %2").arg(parent, m_dir->errorString()));

    // Kept open for the device's lifetime: the slave dies with the master.
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_master < 0)
        return fail(systemError(QStringLiteral("posix_openpt")));
    char name[128];
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 || ::ptsname_r(m_master, name, sizeof name) != 0)
        return fail(systemError(QStringLiteral("pty set-up")));
    m_slave = QString::fromLocal8Bit(name);

    const QByteArray dir = QFile::encodeName(m_dir->path());
    if (::symlink(name, dir + "/" VSERIAL_TTY_NAME) != 0)
        return fail(systemError(QStringLiteral("tty link")));

    // Written aside and renamed, so the preload never maps a half-written file.
    const vserial_state initial{VSERIAL_MAGIC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const QByteArray tmp = dir + "/" VSERIAL_STATE_NAME ".new";
    const QByteArray final = dir + "/" VSERIAL_STATE_NAME;
    const int fd = ::open(tmp.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(systemError(QStringLiteral("state file")));
    const bool written = ::write(fd, &initial, sizeof initial) == ssize_t(sizeof initial);
    void *map = written ? ::mmap(nullptr, sizeof initial, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    ::close(fd);
    if (map == MAP_FAILED || ::rename(tmp.constData(), final.constData()) != 0) {
        if (map != MAP_FAILED)
            ::munmap(map, sizeof initial);
        return fail(systemError(QStringLiteral("state file")));
    }
    m_state = static_cast<vserial_state *>(map);
    // A pty starts without HUPCL; a UART port drops DTR and RTS on close.
    if (!setHangUpOnClose(true))
        return fail(systemError(QStringLiteral("HUPCL")));
    return true;
}

VirtualSerialDevice::~VirtualSerialDevice()
{
    // Directory first, so no process finds a device whose pty is going away.
    if (m_dir)
        m_dir->remove();
    if (m_state)
        ::munmap(m_state, sizeof *m_state);
    if (m_master >= 0)
        ::close(m_master);
}

bool VirtualSerialDevice::fail(const QString &what)
{
    m_error = what;
    return false;
}

QString VirtualSerialDevice::deviceDir() const
{
    return m_dir ? m_dir->path() : QString();
}

bool VirtualSerialDevice::setAlias(const QString &path)
{
    // The preload only looks at paths under /dev/, and compares them cleaned.
    if (!m_state || !path.startsWith(QLatin1String("/dev/")) || QDir::cleanPath(path) != path)
        return false;
    QSaveFile file(deviceDir() + QStringLiteral("/" VSERIAL_ALIAS_NAME));
    if (!file.open(QIODevice::WriteOnly) || file.write(QFile::encodeName(path)) < 0 || !file.commit())
        return false;
    m_alias = path;
    return true;
}

void VirtualSerialDevice::setLine(int tiocmBit, bool high)
{
    if (!m_state)
        return;
    const uint32_t before = vserial_inputs(m_state);
    atomicSet(&m_state->lines, uint32_t(tiocmBit), high);
    vserial_changed(m_state, before);
}

void VirtualSerialDevice::setContactFromDtr(int tiocmBit, bool closed)
{
    if (!m_state)
        return;
    const uint32_t before = vserial_inputs(m_state);
    atomicSet(&m_state->fed_by_dtr, uint32_t(tiocmBit), closed);
    vserial_changed(m_state, before);
}

void VirtualSerialDevice::setLoopback(quint32 fromDtr, quint32 fromRts)
{
    if (!m_state)
        return;
    const uint32_t before = vserial_inputs(m_state);
    __atomic_store_n(&m_state->fed_by_dtr, fromDtr, __ATOMIC_SEQ_CST);
    __atomic_store_n(&m_state->fed_by_rts, fromRts, __ATOMIC_SEQ_CST);
    vserial_changed(m_state, before);
}

bool VirtualSerialDevice::line(int tiocmBit) const
{
    return m_state && (__atomic_load_n(&m_state->lines, __ATOMIC_SEQ_CST) & uint32_t(tiocmBit));
}

void VirtualSerialDevice::setInputs(bool cts, bool dsr, bool dcd)
{
    if (!m_state)
        return;
    const uint32_t mask = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    const uint32_t bits = (cts ? TIOCM_CTS : 0) | (dsr ? TIOCM_DSR : 0) | (dcd ? TIOCM_CAR : 0);
    // One update, so a reader never sees a mix of old and new inputs.
    const uint32_t before = vserial_inputs(m_state);
    uint32_t old = __atomic_load_n(&m_state->lines, __ATOMIC_SEQ_CST);
    while (!__atomic_compare_exchange_n(&m_state->lines, &old, (old & ~mask) | bits, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
    vserial_changed(m_state, before);
}

void VirtualSerialDevice::pulse(int tiocmBit, std::chrono::microseconds length)
{
    setLine(tiocmBit, !line(tiocmBit));
    if (length.count() > 0)
        ::usleep(useconds_t(length.count()));
    setLine(tiocmBit, !line(tiocmBit));
}

quint32 VirtualSerialDevice::edges(int tiocmBit) const
{
    if (!m_state)
        return 0;
    const volatile uint32_t *count = tiocmBit == TIOCM_CTS ? &m_state->count_cts
        : tiocmBit == TIOCM_DSR                            ? &m_state->count_dsr
        : tiocmBit == TIOCM_RNG                            ? &m_state->count_rng
                                                           : &m_state->count_dcd;
    return __atomic_load_n(count, __ATOMIC_SEQ_CST);
}

bool VirtualSerialDevice::dtr() const
{
    return line(TIOCM_DTR);
}

bool VirtualSerialDevice::rts() const
{
    return line(TIOCM_RTS);
}

void VirtualSerialDevice::setFlag(quint32 flag, bool on)
{
    if (!m_state)
        return;
    const uint32_t before = vserial_inputs(m_state);
    atomicSet(&m_state->flags, flag, on);
    // A waiter must see a vanished device at once, as the kernel hangs it up.
    vserial_changed(m_state, before);
}

void VirtualSerialDevice::setDriverSupport(DriverSupport support)
{
    setFlag(VSERIAL_NO_WAIT, support == DriverSupport::Neither);
    setFlag(VSERIAL_NO_COUNT, support != DriverSupport::WaitAndCount);
}

bool VirtualSerialDevice::setHangUpOnClose(bool on)
{
    // Terminal settings asked of the master are the slave's.
    termios t{};
    if (::tcgetattr(m_master, &t) != 0)
        return false;
    t.c_cflag = on ? (t.c_cflag | HUPCL) : (t.c_cflag & ~tcflag_t(HUPCL));
    return ::tcsetattr(m_master, TCSANOW, &t) == 0;
}

void VirtualSerialDevice::setVanished(bool vanished)
{
    setFlag(VSERIAL_VANISHED, vanished);
}

void VirtualSerialDevice::setDenied(bool denied)
{
    setFlag(VSERIAL_DENY, denied);
}

quint32 VirtualSerialDevice::ioctlCount() const
{
    return m_state ? __atomic_load_n(&m_state->ioctl_count, __ATOMIC_SEQ_CST) : 0;
}

quint32 VirtualSerialDevice::waitCount() const
{
    return m_state ? __atomic_load_n(&m_state->wait_count, __ATOMIC_SEQ_CST) : 0;
}

quint32 VirtualSerialDevice::writeCount() const
{
    return m_state ? __atomic_load_n(&m_state->write_count, __ATOMIC_SEQ_CST) : 0;
}

void VirtualSerialDevice::setLatency(quint32 microseconds)
{
    if (m_state)
        __atomic_store_n(&m_state->latency_us, microseconds, __ATOMIC_SEQ_CST);
}

QString VirtualSerialDevice::environmentValue(const QList<const VirtualSerialDevice *> &devices)
{
    QStringList dirs;
    for (const VirtualSerialDevice *device : devices)
        dirs << device->deviceDir();
    return dirs.join(QLatin1Char(':'));
}

QString VirtualSerialDevice::defaultParentDir()
{
    const QString first = qEnvironmentVariable(VSERIAL_ENV).section(QLatin1Char(':'), 0, 0);
    return first.isEmpty() ? QDir::tempPath() : first;
}

bool VirtualSerialDevice::isPreloadActive()
{
    return ::dlsym(RTLD_DEFAULT, "vserial_preload_active") != nullptr;
}
