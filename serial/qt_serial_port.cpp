#include "qt_serial_port.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
// No data is exchanged; a small bounded buffer keeps a chattering device from
// growing memory over days of polling.
constexpr qint64 kReadBufferSize = 1024;

QString deviceGroup(const QString &device)
{
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(device).constData(), &st) == 0) {
        if (const group *g = ::getgrgid(st.st_gid))
            return QString::fromLocal8Bit(g->gr_name);
    }
#else
    Q_UNUSED(device)
#endif
    return QStringLiteral("dialout");
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
{
    m_port.setReadBufferSize(kReadBufferSize);
}

QString QtSerialPort::portAndDevice() const
{
    return tr("port %1 (%2)").arg(m_commPort).arg(m_device);
}

void QtSerialPort::setCommPort(int port)
{
    if (m_port.isOpen()) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             tr("Cannot change to port %1: %2 is already open. Close it first.")
                                 .arg(port)
                                 .arg(portAndDevice()));
    }
    m_commPort = port;
}

void QtSerialPort::setPortOpen(bool open)
{
    if (!open) {
        if (m_port.isOpen())
            m_port.close();
        return;
    }
    if (m_port.isOpen()) {
        throw PhoneHomeError(ErrorCode::PortAlreadyOpen,
                             tr("Cannot open %1: it is already open.").arg(portAndDevice()));
    }
    if (m_commPort < 1) {
        throw PhoneHomeError(ErrorCode::InvalidPortNumber,
                             tr("Cannot open port %1: port numbers start at 1. "
                                "Pick a port from the list or type its number.")
                                 .arg(m_commPort));
    }

    m_device = m_mapping.devicePath(m_commPort);
    m_port.setPortName(m_device);
    m_port.setBaudRate(QSerialPort::Baud9600);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    // RTS is ours to drive, so no hardware handshake may claim it.
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite))
        throwOpenError(m_device);

    // The kernel raises DTR and RTS on open; keep both low until the first
    // polling cycle sets them from the check boxes.
    m_port.clearError();
    if (!m_port.setDataTerminalReady(false) || !m_port.setRequestToSend(false)) {
        const QString reason = m_port.errorString();
        m_port.close();
        throw PhoneHomeError(ErrorCode::DeviceFailed,
                             tr("Opened %1 but could not lower DTR and RTS: %2. "
                                "The port was closed; check the device, then open it again.")
                                 .arg(portAndDevice(), reason));
    }
}

void QtSerialPort::throwOpenError(const QString &device)
{
    const QString where = portAndDevice();
    const QString reason = m_port.errorString();
    const QString shown = PortMapping::withLinkTarget(device);
    switch (m_port.error()) {
    case QSerialPort::DeviceNotFoundError:
        throw PhoneHomeError(ErrorCode::NoSuchDevice,
                             tr("Cannot open port %1: there is no device %2 (%3). "
                                "Check that the adapter is plugged in, or pick another port.")
                                 .arg(m_commPort)
                                 .arg(shown, reason));
    case QSerialPort::PermissionError:
        // Qt reports a lock held by another program the same way as a
        // missing permission; the device's own access bits tell them apart.
        if (!mayReadWrite(device)) {
            const QString group = deviceGroup(device);
            throw PhoneHomeError(ErrorCode::PermissionDenied,
                                 tr("Cannot open port %1: permission denied on %2 (%3). "
                                    "Add your user to the group '%4' "
                                    "(sudo usermod -aG %4 $USER), then log out and in again.")
                                     .arg(m_commPort)
                                     .arg(shown, reason, group));
        }
        throw PhoneHomeError(ErrorCode::DeviceBusy,
                             tr("Cannot open port %1: %2 is in use or locked by another program (%3). "
                                "Close the other program, then try again.")
                                 .arg(m_commPort)
                                 .arg(shown, reason));
    default:
        throw PhoneHomeError(ErrorCode::OpenFailed,
                             tr("Cannot open %1: %2.").arg(where, reason));
    }
}

void QtSerialPort::throwLineError(const QString &what)
{
    throw PhoneHomeError(ErrorCode::DeviceFailed,
                         tr("Lost %1 while %2: %3. "
                            "Check the cable or adapter, then open the port again.")
                             .arg(portAndDevice(), what, m_port.errorString()));
}

QSerialPort::PinoutSignals QtSerialPort::readLines()
{
    // "No signal" is also what a failed read answers: only the error tells.
    m_port.clearError();
    const QSerialPort::PinoutSignals lines = m_port.pinoutSignals();
    if (m_port.error() != QSerialPort::NoError)
        throwLineError(tr("reading the input lines"));
    return lines;
}

bool QtSerialPort::ctsHolding()
{
    return readLines().testFlag(QSerialPort::ClearToSendSignal);
}

bool QtSerialPort::dsrHolding()
{
    return readLines().testFlag(QSerialPort::DataSetReadySignal);
}

bool QtSerialPort::cdHolding()
{
    return readLines().testFlag(QSerialPort::DataCarrierDetectSignal);
}

void QtSerialPort::setDtrEnable(bool high)
{
    m_port.clearError();
    if (!m_port.setDataTerminalReady(high))
        throwLineError(tr("setting DTR"));
}

void QtSerialPort::setRtsEnable(bool high)
{
    m_port.clearError();
    if (!m_port.setRequestToSend(high))
        throwLineError(tr("setting RTS"));
}
