// SPDX-License-Identifier: MIT
#include "line_watcher.h"

#include <QMetaObject>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <pthread.h>
#include <time.h>
#include <sys/ioctl.h>
#endif

namespace {
#ifdef Q_OS_LINUX
// Realtime signals are free for the program's own use; Qt takes none.
int interruptSignal()
{
    return SIGRTMIN + 4;
}

void doNothing(int) { }

void installInterruptHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {
        };
        action.sa_handler = doNothing;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: the interrupted wait must return EINTR.
        action.sa_flags = 0;
        ::sigaction(interruptSignal(), &action, nullptr);
    });
}
#endif
}

LineWatcher::LineWatcher(QObject *target, ReadingHandler onReading, FailureHandler onFailure)
    : m_target(target)
    , m_onReading(std::move(onReading))
    , m_onFailure(std::move(onFailure))
    , m_generation(std::make_shared<std::atomic<unsigned>>(0))
{
}

LineWatcher::~LineWatcher()
{
    stop();
}

bool LineWatcher::isUnsupported(int error)
{
    return error == EINVAL || error == ENOTTY || error == ENOSYS || error == EOPNOTSUPP;
}

bool LineWatcher::readEdges(int fd, std::array<quint32, 3> *edges, int *error, quint32 *ring)
{
#ifdef Q_OS_LINUX
    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        *error = errno;
        return false;
    }
    *edges = {quint32(counts.cts), quint32(counts.dsr), quint32(counts.dcd)};
    if (ring)
        *ring = quint32(counts.rng);
    return true;
#else
    Q_UNUSED(fd)
    Q_UNUSED(edges)
    Q_UNUSED(ring)
    *error = ENOTTY;
    return false;
#endif
}

bool LineWatcher::read(int fd, bool counted, LineReading *reading, int *error)
{
#ifdef Q_OS_LINUX
    // Counters first: an edge between the two reads is then in these lines
    // but counted only in the next reading's counters, one edge that no one
    // takes for a pulse.
    if (counted && !readEdges(fd, &reading->edges, error, &reading->ringEdges))
        return false;
    reading->counted = counted;
    reading->taken = std::chrono::steady_clock::now();
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) {
        *error = errno;
        return false;
    }
    reading->lines.cts = lines & TIOCM_CTS;
    reading->lines.dsr = lines & TIOCM_DSR;
    reading->lines.dcd = lines & TIOCM_CAR;
    reading->lines.dtr = lines & TIOCM_DTR;
    reading->lines.rts = lines & TIOCM_RTS;
    reading->lines.ri = lines & TIOCM_RNG;
    return true;
#else
    Q_UNUSED(fd)
    Q_UNUSED(counted)
    Q_UNUSED(reading)
    *error = ENOTTY;
    return false;
#endif
}

bool LineWatcher::start(int fd, const LineReading &from, bool offered)
{
#ifdef Q_OS_LINUX
    stop();
    installInterruptHandler();
    m_stop = false;
    m_ended = false;
    m_refusedWith = 0;
    const unsigned generation = ++*m_generation;
    m_thread = std::thread(&LineWatcher::run, this, fd, from, generation);
    // A driver that counts edges has always offered the wait too (8250,
    // ftdi_sio, cdc-acm): no need to make every open wait for a refusal.
    // Should one refuse after all, the refusal arrives as a failure.
    if (from.counted || offered)
        return true;
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, kRefusalWindow, [this] { return m_ended; });
    if (m_ended && isUnsupported(m_refusedWith)) {
        lock.unlock();
        stop();
        return false;
    }
    return true;
#else
    Q_UNUSED(fd)
    Q_UNUSED(from)
    Q_UNUSED(offered)
    return false;
#endif
}

void LineWatcher::stop()
{
    ++*m_generation;
    if (!m_thread.joinable())
        return;
#ifdef Q_OS_LINUX
    m_stop = true;
    // A signal that lands just before the thread enters the ioctl is lost,
    // so send it until the thread says it has ended.
    std::unique_lock lock(m_mutex);
    while (!m_ended) {
        ::pthread_kill(m_thread.native_handle(), interruptSignal());
        m_changed.wait_for(lock, std::chrono::milliseconds(1), [this] { return m_ended; });
    }
#endif
    m_thread.join();
}

void LineWatcher::ended(int refusedWith)
{
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_refusedWith = refusedWith;
    m_changed.notify_all();
}

void LineWatcher::post(unsigned generation, const LineReading &reading)
{
    QMetaObject::invokeMethod(
        m_target.data(),
        [current = m_generation, generation, handler = m_onReading, reading] {
            if (*current == generation)
                handler(reading);
        },
        Qt::QueuedConnection);
}

void LineWatcher::postFailure(unsigned generation, int error)
{
    QMetaObject::invokeMethod(
        m_target.data(),
        [current = m_generation, generation, handler = m_onFailure, error] {
            if (*current == generation)
                handler(error);
        },
        Qt::QueuedConnection);
}

void LineWatcher::run(int fd, LineReading last, unsigned generation)
{
#ifdef Q_OS_LINUX
    // Only the interrupt is ours; every other signal goes to the main thread.
    sigset_t mask;
    sigfillset(&mask);
    sigdelset(&mask, interruptSignal());
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);

    const bool counted = last.counted;
    int error = 0;
    bool first = true;
    bool woken = false;
    while (!m_stop) {
        // A wait counts from its own start: an edge after the last reading
        // and before the wait would wake no one. So read until the inputs
        // and counters stand still, then wait.
        bool movedSinceWake = false;
        for (;;) {
            LineReading reading;
            if (!read(fd, counted, &reading, &error)) {
                postFailure(generation, error);
                ended(0);
                return;
            }
            const bool moved = reading.edges != last.edges || reading.ringEdges != last.ringEdges
                || reading.lines.cts != last.lines.cts || reading.lines.dsr != last.lines.dsr
                || reading.lines.dcd != last.lines.dcd || reading.lines.ri != last.lines.ri;
            if (!moved)
                break;
            movedSinceWake = true;
            post(generation, reading);
            last = reading;
        }
        // A wake with nothing moved is how cdc_acm tells of an unplugged
        // device, and its hang-up may not have reached the next read yet:
        // look again shortly, so that the loss shows as the read's failure
        // rather than as a wait that never ends.
        if (woken && !movedSinceWake) {
            woken = false;
            // Cut short by stop()'s signal, as the wait would be.
            const timespec pause{0, long(std::chrono::nanoseconds(kQuietWakeRecheck).count())};
            ::nanosleep(&pause, nullptr);
            continue;
        }
        if (::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG) != 0) {
            error = errno;
            if (error == EINTR)
                continue;
            // Posted even when refused at once: start() may have stopped
            // waiting for the answer, and then this is how it arrives.
            postFailure(generation, error);
            ended(first ? error : 0);
            return;
        }
        first = false;
        woken = true;
    }
    ended(0);
#else
    Q_UNUSED(fd)
    Q_UNUSED(last)
    Q_UNUSED(generation)
#endif
}
