// SPDX-License-Identifier: MIT
#include "termination_signals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_UNIX
int s_fds[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int signal)
{
    const int saved = errno;
    const char number = char(signal);
    // Nothing but write(2) here: it is async-signal-safe.
    [[maybe_unused]] const ssize_t n = ::write(s_fds[0], &number, 1);
    errno = saved;
}
#endif
}

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (s_fds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_fds) != 0)
        return;
    m_notifier = new QSocketNotifier(s_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);
    for (int signal : kSignals) {
        struct sigaction action {
        };
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
#endif
}

TerminationSignals::~TerminationSignals()
{
#ifdef Q_OS_UNIX
    // Back to the default: a signal after this ends the process at once.
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
#endif
}

void TerminationSignals::readSignal()
{
#ifdef Q_OS_UNIX
    char number = 0;
    while (::read(s_fds[1], &number, 1) == 1)
        Q_EMIT received(number);
#endif
}
