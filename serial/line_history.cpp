// SPDX-License-Identifier: MIT
#include "line_history.h"

#include <QIODevice>

namespace {
const char *const kNames[] = {"CTS", "DSR", "DCD", "RI", "DTR", "RTS"};
// DE-9: DCD 1, DTR 4, DSR 6, RTS 7, CTS 8, RI 9.
constexpr int kPins[] = {8, 6, 1, 9, 4, 7};

LineHistory::Line inputLine(int channel)
{
    return LineHistory::Line(channel);
}
}

LineHistory::LineHistory(int capacity, QObject *parent)
    : QObject(parent)
    , m_capacity(std::max(capacity, kLines))
{
}

QString LineHistory::lineName(Line line)
{
    return QLatin1String(kNames[int(line)]);
}

int LineHistory::pin(Line line)
{
    return kPins[int(line)];
}

QString LineHistory::levelName(Level level)
{
    return level == Level::High ? QStringLiteral("high")
        : level == Level::Low   ? QStringLiteral("low")
                                : QStringLiteral("pulse");
}

QString LineHistory::timeText(const Change &change)
{
    return QDateTime::fromMSecsSinceEpoch(change.msecs, Qt::OffsetFromUTC, change.offset).toString(Qt::ISODateWithMs);
}

QDateTime LineHistory::wallTime(std::chrono::steady_clock::time_point taken)
{
    const auto age = std::chrono::steady_clock::now() - taken;
    const qint64 ms =
        taken.time_since_epoch().count() == 0 ? 0 : std::chrono::duration_cast<std::chrono::milliseconds>(age).count();
    return QDateTime::currentDateTime().addMSecs(-std::max<qint64>(ms, 0));
}

QString LineHistory::csvHeader()
{
    return QStringLiteral("time,line,level,width_ms,count");
}

QString LineHistory::csvRow(const Change &change)
{
    return QStringLiteral("%1,%2,%3,%4,%5")
        .arg(timeText(change), lineName(change.line), levelName(change.level),
             change.widthMs >= 0 ? QString::number(change.widthMs) : QString(),
             change.count >= 0 ? QString::number(change.count) : QString());
}

bool LineHistory::writeCsv(QIODevice *out, QString *error) const
{
    QByteArray text = csvHeader().toLatin1() + '\n';
    for (const Change &change : m_changes)
        text += csvRow(change).toLatin1() + '\n';
    if (out->write(text) != text.size()) {
        *error = out->errorString();
        return false;
    }
    return true;
}

void LineHistory::start(const QDateTime &time, const LineReading &reading, const AdapterDriver &driver)
{
    m_driver = driver;
    m_started = true;
    m_changes.clear();
    m_dropped = 0;
    m_endedAt = -1;
    m_track = {};
    m_summary = {};
    m_lastTaken = reading.taken;
    const bool levels[] = {reading.lines.cts, reading.lines.dsr, reading.lines.dcd,
                           reading.lines.ri,  reading.lines.dtr, reading.lines.rts};
    const quint32 counts[] = {reading.edges[0], reading.edges[1], reading.edges[2], reading.ringEdges};
    for (int i = 0; i < kLines; ++i) {
        const auto line = Line(i);
        Summary &summary = m_summary[size_t(i)];
        summary.reported = i < 3 ? driver.reports[size_t(i)] : line == Line::Ri ? driver.reportsRing : true;
        summary.level = levels[i];
        // A level the driver makes up is no reading: its lane stays grey.
        if (!summary.reported)
            continue;
        LineTrack &track = m_track[size_t(i)];
        track.known = true;
        track.level = levels[i];
        track.since = time.toMSecsSinceEpoch();
        if (i < 4 && reading.counted)
            track.count = counts[i];
        Change change;
        change.msecs = track.since;
        change.offset = time.offsetFromUtc();
        change.line = line;
        change.level = levels[i] ? Level::High : Level::Low;
        change.count = track.count ? qint64(*track.count) : -1;
        change.atOpen = true;
        m_changes.push_back(change);
    }
    Q_EMIT reset();
}

void LineHistory::clear()
{
    m_changes.clear();
    m_dropped = 0;
    for (Summary &summary : m_summary) {
        summary.changes = 0;
        summary.pulses = 0;
        summary.shortestHighMs.reset();
        summary.longestHighMs.reset();
    }
    Q_EMIT reset();
}

void LineHistory::add(const QDateTime &time, const LineReading &reading)
{
    // Queued behind a reading taken since, it would show the past.
    if (!m_started || reading.taken < m_lastTaken)
        return;
    m_lastTaken = reading.taken;
    m_pendingFirst = size();
    const bool levels[] = {reading.lines.cts, reading.lines.dsr, reading.lines.dcd, reading.lines.ri};
    const quint32 counts[] = {reading.edges[0], reading.edges[1], reading.edges[2], reading.ringEdges};
    for (int i = 0; i < 4; ++i)
        input(time, inputLine(i), levels[i], reading.counted, counts[i]);
    trim();
}

void LineHistory::addOutputs(const QDateTime &time, bool dtr, bool rts)
{
    if (!m_started)
        return;
    m_pendingFirst = size();
    const Line lines[] = {Line::Dtr, Line::Rts};
    const bool levels[] = {dtr, rts};
    for (int i = 0; i < 2; ++i) {
        if (m_track[size_t(lines[i])].level != levels[i])
            levelChange(time, lines[i], levels[i], std::nullopt);
    }
    trim();
}

// The counters tell what the levels cannot: edges beyond the changes seen
// are pulses that came and went between two readings. A change seen before
// its edge is counted (the counters are read first) is owed to the next
// reading, so it is never taken for a pulse.
void LineHistory::input(const QDateTime &time, Line line, bool level, bool counted, quint32 count)
{
    LineTrack &track = m_track[size_t(line)];
    if (!track.known)
        return;
    const bool changed = level != track.level;
    // Where RI counts only as a ring ends, a rise is no edge and one count is
    // a whole ring.
    const bool fallsOnly = line == Line::Ri && m_driver.ringFallsOnly;
    const quint32 edgesPerPulse = fallsOnly ? 1 : 2;
    const quint32 seen = changed && (!fallsOnly || !level) ? 1 : 0;
    quint32 pulses = 0;
    if (counted && track.count) {
        const quint32 moved = count - *track.count;
        const quint32 expected = track.owed + seen;
        if (moved >= expected) {
            // An odd edge over is half a pulse whose other half the next
            // counters show (it fell between this reading's two reads).
            const quint32 extra = moved - expected + track.partial;
            pulses = extra / edgesPerPulse;
            track.partial = extra % edgesPerPulse;
            track.owed = 0;
        } else {
            track.owed = expected - moved;
        }
    } else if (!counted && track.count)
        track.owed += seen; // the counters will show this change later
    if (counted)
        track.count = count;
    const qint64 now = time.toMSecsSinceEpoch();
    if (pulses > 0) {
        Change change;
        change.msecs = now;
        change.offset = time.offsetFromUtc();
        change.line = line;
        change.level = Level::Pulse;
        change.count = counted ? qint64(count) : -1;
        change.pulses = int(pulses);
        append(change);
        m_summary[size_t(line)].pulses += pulses;
        // The level after it holds from about now; with a change in the
        // same reading, how long anything held is unknown. A high across it
        // was not seen whole.
        track.since = changed ? -1 : now;
        track.highSince = -1;
    }
    if (changed)
        levelChange(time, line, level, counted ? std::optional<quint32>(count) : std::nullopt);
}

void LineHistory::levelChange(const QDateTime &time, Line line, bool level, std::optional<quint32> count)
{
    LineTrack &track = m_track[size_t(line)];
    Summary &summary = m_summary[size_t(line)];
    const qint64 now = time.toMSecsSinceEpoch();
    if (track.level && !level && track.highSince >= 0) {
        const qint64 high = now - track.highSince;
        summary.shortestHighMs = summary.shortestHighMs ? std::min(*summary.shortestHighMs, high) : high;
        summary.longestHighMs = summary.longestHighMs ? std::max(*summary.longestHighMs, high) : high;
    }
    Change change;
    change.msecs = now;
    change.offset = time.offsetFromUtc();
    change.line = line;
    change.level = level ? Level::High : Level::Low;
    change.widthMs = track.since >= 0 ? now - track.since : -1;
    change.count = count ? qint64(*count) : -1;
    append(change);
    track.level = level;
    track.since = now;
    track.highSince = level ? now : -1;
    summary.level = level;
    ++summary.changes;
}

void LineHistory::append(const Change &change)
{
    m_changes.push_back(change);
}

void LineHistory::trim()
{
    const int added = size() - m_pendingFirst;
    if (added <= 0)
        return;
    const int over = size() - m_capacity;
    if (over > 0) {
        m_changes.erase(m_changes.begin(), m_changes.begin() + over);
        m_dropped += quint64(over);
        Q_EMIT droppedOldest(over);
    }
    Q_EMIT appended(size() - added, added);
}
