// SPDX-License-Identifier: MIT
#include "port_selector.h"

PortSelector::PortSelector(PortMapping mapping, QObject *parent)
    : SerialPort(parent)
    , m_local(std::move(mapping))
{
    for (SerialPort *port : {static_cast<SerialPort *>(&m_local), static_cast<SerialPort *>(&m_remote)}) {
        connect(port, &SerialPort::linesWatched, this, &SerialPort::linesWatched);
        connect(port, &SerialPort::outputsSet, this, &SerialPort::outputsSet);
        connect(port, &SerialPort::lineWatchChanged, this, &SerialPort::lineWatchChanged);
        connect(port, &SerialPort::watchFailed, this, &SerialPort::watchFailed);
        connect(port, &SerialPort::noticed, this, &SerialPort::noticed);
    }
}

void PortSelector::setCommPort(int port)
{
    // The open one refuses the change in its own words.
    if (m_active->portOpen())
        m_active->setCommPort(port);
    m_local.setCommPort(port);
    m_active = &m_local;
}

void PortSelector::setDevicePath(const QString &path)
{
    if (m_active->portOpen())
        m_active->setDevicePath(path);
    if (Rfc2217Port::isAddress(path)) {
        m_remote.setDevicePath(path);
        m_active = &m_remote;
    } else {
        m_local.setDevicePath(path);
        m_active = &m_local;
    }
}

void PortSelector::setOutputsAtOpen(bool dtr, bool rts)
{
    m_local.setOutputsAtOpen(dtr, rts);
    m_remote.setOutputsAtOpen(dtr, rts);
}
