// SPDX-License-Identifier: MIT
#include "port_holder.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#ifdef Q_OS_LINUX
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("PortHolder", text);
}

#ifdef Q_OS_LINUX
bool isNumber(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

// Whether one of the process's descriptors leads to the device. Only links
// into /dev are looked at: stat() of a file on a hung network mount could
// block, and a device opened through a link shows the node's own path.
bool holds(const QByteArray &fdDir, dev_t device)
{
    DIR *dir = ::opendir(fdDir.constData());
    if (!dir)
        return false; // ended, or another user's
    bool found = false;
    while (const dirent *entry = ::readdir(dir)) {
        if (!isNumber(entry->d_name))
            continue;
        const QByteArray fd = fdDir + '/' + entry->d_name;
        char target[16];
        const ssize_t length = ::readlink(fd.constData(), target, sizeof target);
        struct stat st {
        };
        if (length < 5 || std::memcmp(target, "/dev/", 5) != 0 || ::stat(fd.constData(), &st) != 0)
            continue;
        if (S_ISCHR(st.st_mode) && st.st_rdev == device) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}
#endif
}

PortHolder PortHolder::ofPid(qint64 pid, const QString &procRoot)
{
    PortHolder holder;
    holder.pid = pid;
    QFile comm(QStringLiteral("%1/%2/comm").arg(procRoot).arg(pid));
    if (comm.open(QIODevice::ReadOnly))
        holder.name = QString::fromLocal8Bit(comm.read(64)).trimmed();
    return holder;
}

QList<PortHolder> PortHolder::openersOf(const QString &device, const QString &procRoot)
{
    QList<PortHolder> holders;
#ifdef Q_OS_LINUX
    struct stat node {
    };
    if (::stat(QFile::encodeName(device).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return holders;
    const QByteArray root = QFile::encodeName(procRoot);
    DIR *proc = ::opendir(root.constData());
    if (!proc)
        return holders;
    const qint64 self = QCoreApplication::applicationPid();
    while (const dirent *entry = ::readdir(proc)) {
        if (!isNumber(entry->d_name))
            continue;
        const qint64 pid = QByteArray(entry->d_name).toLongLong();
        if (pid != self && holds(root + '/' + entry->d_name + "/fd", node.st_rdev))
            holders << ofPid(pid, procRoot);
    }
    ::closedir(proc);
#else
    Q_UNUSED(device)
    Q_UNUSED(procRoot)
#endif
    return holders;
}

QString PortHolder::advice(const QString &name, qint64 pid, const QString &kernelName)
{
    if (name == QLatin1String("ModemManager")) {
        return tr("ModemManager tries every new serial port for a modem. Tell it to leave this one alone: add "
                  "ENV{ID_MM_DEVICE_IGNORE}=\"1\" to a udev rule for the device (see \"Which device is port N\" "
                  "in docs/using-the-window.md), run sudo udevadm control --reload && sudo udevadm trigger, "
                  "then try again; or stop it: sudo systemctl stop ModemManager.");
    }
    if (name == QLatin1String("gpsd")) {
        return tr("gpsd takes USB serial adapters that might be GPS receivers, through its udev rule "
                  "60-gpsd.rules. If no GPS receiver needs it, turn that rule off (sudo ln -s /dev/null "
                  "/etc/udev/rules.d/60-gpsd.rules) and stop gpsd (sudo systemctl disable --now gpsd.socket "
                  "gpsd.service), then re-plug the adapter.");
    }
    if (name.startsWith(QLatin1String("brltty"))) {
        return tr("brltty, the braille display driver, takes USB serial adapters that look like braille "
                  "displays. If no braille display is used here, stop it for good (sudo systemctl mask --now "
                  "brltty-udev.service brltty.service), then re-plug the adapter.");
    }
    if (name.endsWith(QLatin1String("getty"))) {
        return tr("%1 runs a login prompt on %2. If the kernel command line (cat /proc/cmdline) sends the "
                  "console there with console=%2, remove that from GRUB_CMDLINE_LINUX in /etc/default/grub "
                  "and run sudo update-grub; stop the login prompt: sudo systemctl mask --now "
                  "serial-getty@%2.service.")
            .arg(name, kernelName);
    }
    if (name.isEmpty())
        return tr("Close that program (process %1), then try again.").arg(pid);
    return tr("Close %1 (process %2), then try again.").arg(name).arg(pid);
}

QString PortHolder::describe(const QList<PortHolder> &holders)
{
    QStringList named;
    for (const PortHolder &holder : holders) {
        named << (holder.name.isEmpty() ? tr("another program (process %1)").arg(holder.pid)
                                        : tr("%1 (process %2)").arg(holder.name).arg(holder.pid));
    }
    if (named.isEmpty())
        return tr("another program");
    const QString last = named.takeLast();
    return named.isEmpty() ? last : tr("%1 and %2").arg(named.join(QStringLiteral(", ")), last);
}

QString PortHolder::advice(const QList<PortHolder> &holders, const QString &device)
{
    if (holders.isEmpty())
        return tr("Close the other program, then try again (to find it, see \"A port in use by another "
                  "program\" in docs/troubleshooting.md).");
    QString kernelName = QFileInfo(device).canonicalFilePath();
    if (kernelName.isEmpty())
        kernelName = device;
    if (kernelName.startsWith(QLatin1String("/dev/")))
        kernelName.remove(0, 5);
    QStringList advices;
    for (const PortHolder &holder : holders) {
        // Two processes of one daemon need its advice once.
        const QString text = advice(holder.name, holder.pid, kernelName);
        if (!advices.contains(text))
            advices << text;
    }
    return advices.join(u' ');
}
