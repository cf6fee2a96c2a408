// SPDX-License-Identifier: MIT
#pragma once

// A thread that waits for the inputs to move and reads them; the deciding is
// done elsewhere. It blocks in TIOCMIWAIT on CTS, DSR, DCD and RI; after each
// wake it reads the driver's edge counters (TIOCGICOUNT, where the driver
// keeps them) and every line (TIOCMGET), and posts that reading to its
// target's thread. Stopping interrupts the wait with a signal and joins.

#include "serial_port.h"

#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class LineWatcher
{
public:
    // Run on target's thread, in the order the readings were taken. A
    // failure is an errno value: the wait or a read failed for good.
    using ReadingHandler = std::function<void(const LineReading &)>;
    using FailureHandler = std::function<void(int error)>;

    // How long start() gives the first wait to be refused where the driver
    // keeps no counters: a driver without TIOCMIWAIT answers at once, one
    // with it blocks.
    static constexpr std::chrono::milliseconds kRefusalWindow{20};
    // After a wake that moved nothing, how long before the lines are read
    // again.
    static constexpr std::chrono::milliseconds kQuietWakeRecheck{20};

    LineWatcher(QObject *target, ReadingHandler onReading, FailureHandler onFailure);
    ~LineWatcher();
    LineWatcher(const LineWatcher &) = delete;
    LineWatcher &operator=(const LineWatcher &) = delete;

    // The driver's edge counters for fd (fire, flood, intrusion, and RI's
    // into ring where given); false where it keeps none.
    static bool readEdges(int fd, std::array<quint32, 3> *edges, int *error, quint32 *ring = nullptr);
    // One reading: the lines, and the counters when counted.
    static bool read(int fd, bool counted, LineReading *reading, int *error);
    // Whether an errno from TIOCMIWAIT or TIOCGICOUNT means "not offered".
    static bool isUnsupported(int error);

    // Starts watching fd from a reading taken just before (the first wake is
    // compared with it). false where the driver refuses TIOCMIWAIT (the
    // thread has ended). offered: the driver is known to offer the wait, so
    // no refusal is waited for.
    bool start(int fd, const LineReading &from, bool offered = false);
    // Ends the thread and joins it; nothing it read is posted afterwards.
    void stop();
    bool running() const { return m_thread.joinable(); }

private:
    void run(int fd, LineReading last, unsigned generation);
    void post(unsigned generation, const LineReading &reading);
    void postFailure(unsigned generation, int error);
    void ended(int refusedWith);

    QPointer<QObject> m_target;
    ReadingHandler m_onReading;
    FailureHandler m_onFailure;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    // Readings of an earlier start still queued are dropped by their number.
    std::shared_ptr<std::atomic<unsigned>> m_generation;
    std::mutex m_mutex; // only for the hand-over of start() and stop()
    std::condition_variable m_changed;
    bool m_ended = false;
    int m_refusedWith = 0;
};
