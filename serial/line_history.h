// SPDX-License-Identifier: MIT
#pragma once

// The technician's history of the modem lines: every change of CTS, DSR,
// DCD, RI and of the outputs DTR and RTS since the port's open, with how
// long each level held and the driver's counter after it. Pulses that came
// and went between two readings are known from the counters and kept as
// pulses. The terminal mode (--lines) and the "Line history" window both
// feed it readings and write the same CSV from it.
//
// Bounded: past the capacity the oldest changes are dropped and counted,
// while the per-line summary (changes, pulses, shortest and longest high)
// keeps counting from the open.

#include "adapter_driver.h"
#include "serial_port.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <optional>

class QIODevice;

class LineHistory : public QObject
{
    Q_OBJECT
public:
    // In the order the CSV gives the lines at the open.
    enum class Line { Cts, Dsr, Dcd, Ri, Dtr, Rts };
    static constexpr int kLines = 6;
    enum class Level { Low, High, Pulse };

    struct Change {
        qint64 msecs = 0; // since the epoch
        int offset = 0;   // seconds east of UTC, as the time was taken
        Line line = Line::Cts;
        Level level = Level::Low;
        qint64 widthMs = -1; // how long the level before held; -1: unknown
        qint64 count = -1;   // the driver's counter after it; -1: none
        int pulses = 0;      // for a pulse: how many the counter saw
        bool atOpen = false; // the level the line had at the open
    };

    struct Summary {
        bool reported = true;
        bool level = false;
        quint64 changes = 0; // level changes after the open, pulses apart
        quint64 pulses = 0;
        // Only highs whose start and end were both seen.
        std::optional<qint64> shortestHighMs;
        std::optional<qint64> longestHighMs;
    };

    static constexpr int kDefaultCapacity = 100000;

    explicit LineHistory(int capacity = kDefaultCapacity, QObject *parent = nullptr);

    // The port was opened: forget everything, and one row per line with its
    // level then. outputs: DTR and RTS as the open left them.
    void start(const QDateTime &time, const LineReading &reading, const AdapterDriver &driver);
    // A reading of the inputs (the watcher's, with counters, or a poll's).
    void add(const QDateTime &time, const LineReading &reading);
    // DTR and RTS as the program wrote them.
    void addOutputs(const QDateTime &time, bool dtr, bool rts);
    // Empties the table and the summary; the lines' levels are kept, so the
    // next change still has its width.
    void clear();
    // The port was closed: the levels are known up to then, not after.
    void end(const QDateTime &time) { m_endedAt = time.toMSecsSinceEpoch(); }
    // When the port was closed, ms since the epoch; -1 while it is open.
    qint64 endedAt() const { return m_endedAt; }

    bool started() const { return m_started; }
    int size() const { return int(m_changes.size()); }
    const Change &at(int index) const { return m_changes[size_t(index)]; }
    // Changes dropped as the oldest, since the open or the last clear.
    quint64 dropped() const { return m_dropped; }
    int capacity() const { return m_capacity; }
    const Summary &summary(Line line) const { return m_summary[size_t(line)]; }
    const AdapterDriver &driver() const { return m_driver; }

    static QString lineName(Line line);
    // DE-9 pin of the line.
    static int pin(Line line);
    static QString levelName(Level level);
    // When a reading was taken, on the wall clock: one still queued is older
    // than now.
    static QDateTime wallTime(std::chrono::steady_clock::time_point taken);
    // ISO 8601 with milliseconds and the UTC offset, as the record writes it.
    static QString timeText(const Change &change);

    static QString csvHeader();
    static QString csvRow(const Change &change);
    // The header and every row kept; false with the reason on failure.
    bool writeCsv(QIODevice *out, QString *error) const;

Q_SIGNALS:
    // Rows appended at the end (first, first + count - 1).
    void appended(int first, int count);
    // The oldest count rows are gone.
    void droppedOldest(int count);
    // Everything was replaced (an open) or emptied (clear).
    void reset();

private:
    struct LineTrack {
        bool known = false;
        bool level = false;
        qint64 since = 0;      // msecs of the last row
        qint64 highSince = -1; // msecs the current high began, where seen
        std::optional<quint32> count;
        // Level changes seen before the counter shows them (the counters are
        // read before the lines, or the reading had no counters).
        quint32 owed = 0;
        quint32 partial = 0;
    };

    void append(const Change &change);
    void levelChange(const QDateTime &time, Line line, bool level, std::optional<quint32> count);
    void input(const QDateTime &time, Line line, bool level, bool counted, quint32 count);
    void trim();

    int m_capacity;
    bool m_started = false;
    AdapterDriver m_driver;
    std::deque<Change> m_changes;
    quint64 m_dropped = 0;
    qint64 m_endedAt = -1;
    int m_pendingFirst = -1;
    std::chrono::steady_clock::time_point m_lastTaken;
    std::array<LineTrack, kLines> m_track{};
    std::array<Summary, kLines> m_summary{};
};
