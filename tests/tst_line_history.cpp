// SPDX-License-Identifier: MIT
// The line history: what a sequence of readings leaves in it (changes,
// pulses known from the counters, widths, the summary), its bound and its
// CSV.

#include "serial/line_history.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTest>

namespace {
using Line = LineHistory::Line;
using Level = LineHistory::Level;

const QDateTime kOpen = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, Qt::OffsetFromUTC, 3600);

// One step of a scenario: at ms after the open, DCD (or RI) at level with
// its counter at count; counted false for a reading without counters.
struct Step {
    int ms;
    bool level;
    quint32 count;
    bool counted = true;
};

LineReading reading(Line line, const Step &step, int index)
{
    LineReading r;
    r.counted = step.counted;
    // Readings arrive in the order taken.
    r.taken = std::chrono::steady_clock::time_point(std::chrono::milliseconds(1000 + index));
    if (line == Line::Ri) {
        r.lines.ri = step.level;
        r.ringEdges = step.counted ? step.count : 0;
    } else {
        r.lines.dcd = step.level;
        r.edges[2] = step.counted ? step.count : 0;
    }
    return r;
}

// "high/300", "pulse", "low/-": the rows after the open, level and width.
QStringList rowsOf(const LineHistory &history)
{
    QStringList rows;
    for (int i = 0; i < history.size(); ++i) {
        const auto &c = history.at(i);
        if (c.atOpen)
            continue;
        rows << LineHistory::levelName(c.level)
                + (c.level == Level::Pulse
                       ? QString()
                       : u'/' + (c.widthMs >= 0 ? QString::number(c.widthMs) : QStringLiteral("-")));
    }
    return rows;
}
}

class TstLineHistory : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readings_data();
    void readings();
    void outputsAndUnreportedLines();
    void boundedKeepsTheNewest();
    void csv();
};

void TstLineHistory::readings_data()
{
    QTest::addColumn<bool>("ringFallsOnly");
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<quint64>("pulses");
    QTest::addColumn<qint64>("shortestHigh");
    QTest::addColumn<qint64>("longestHigh");

    QTest::newRow("a high held 300 ms has its width on the falling row")
        << false << QList<Step>{{100, true, 1}, {400, false, 2}} << QStringList{"high/100", "low/300"} << 0ull
        << qint64(300) << qint64(300);
    QTest::newRow("two edges between readings are a pulse, not a missed nothing")
        << false << QList<Step>{{100, false, 2}} << QStringList{"pulse"} << 1ull << qint64(-1) << qint64(-1);
    QTest::newRow("four edges unseen are two pulses on one row")
        << false << QList<Step>{{100, false, 4}} << QStringList{"pulse"} << 2ull << qint64(-1) << qint64(-1);
    // The counters are read before the lines: an edge between the two reads
    // shows in the lines first and in the counters one reading later.
    QTest::newRow("an edge counted one reading late is no pulse")
        << false << QList<Step>{{100, true, 0}, {150, true, 1}, {300, false, 2}} << QStringList{"high/100", "low/200"}
        << 0ull << qint64(200) << qint64(200);
    QTest::newRow("a change seen without counters is owed, not taken for a pulse")
        << false << QList<Step>{{100, true, 0, false}, {200, true, 1}} << QStringList{"high/100"} << 0ull << qint64(-1)
        << qint64(-1);
    QTest::newRow("half a pulse waits for its other edge") << false << QList<Step>{{100, false, 1}, {200, false, 2}}
                                                           << QStringList{"pulse"} << 1ull << qint64(-1) << qint64(-1);
    QTest::newRow("a pulse and a change in one reading: the width after is unknown")
        << false << QList<Step>{{100, true, 3}, {250, false, 4}} << QStringList{"pulse", "high/-", "low/150"} << 1ull
        << qint64(150) << qint64(150);
    QTest::newRow("the width after a pulse counts from the pulse's reading")
        << false << QList<Step>{{100, false, 2}, {350, true, 3}} << QStringList{"pulse", "high/250"} << 1ull
        << qint64(-1) << qint64(-1);
    QTest::newRow("shortest and longest high over several")
        << false << QList<Step>{{100, true, 1}, {150, false, 2}, {200, true, 3}, {500, false, 4}, {600, true, 5}}
        << QStringList{"high/100", "low/50", "high/50", "low/300", "high/100"} << 0ull << qint64(50) << qint64(300);
    // The 8250 counts RI only as a ring ends.
    QTest::newRow("RI where only a ring's end counts: one count unseen is a ring")
        << true << QList<Step>{{100, false, 1}} << QStringList{"pulse"} << 1ull << qint64(-1) << qint64(-1);
    QTest::newRow("RI where only a ring's end counts: a seen ring is no pulse")
        << true << QList<Step>{{100, true, 0}, {300, false, 1}} << QStringList{"high/100", "low/200"} << 0ull
        << qint64(200) << qint64(200);
}

void TstLineHistory::readings()
{
    QFETCH(bool, ringFallsOnly);
    QFETCH(QList<Step>, steps);
    QFETCH(QStringList, rows);
    QFETCH(quint64, pulses);
    QFETCH(qint64, shortestHigh);
    QFETCH(qint64, longestHigh);

    const Line line = ringFallsOnly ? Line::Ri : Line::Dcd;
    AdapterDriver driver = AdapterDriver::named(ringFallsOnly ? QStringLiteral("serial8250") : QString());
    LineHistory history;
    LineReading start;
    start.counted = true;
    history.start(kOpen, start, driver);
    QCOMPARE(history.size(), LineHistory::kLines);
    for (int i = 0; i < steps.size(); ++i)
        history.add(kOpen.addMSecs(steps[i].ms), reading(line, steps[i], i));

    QCOMPARE(rowsOf(history), rows);
    const auto &summary = history.summary(line);
    QCOMPARE(summary.pulses, pulses);
    QCOMPARE(summary.shortestHighMs.value_or(-1), shortestHigh);
    QCOMPARE(summary.longestHighMs.value_or(-1), longestHigh);
}

void TstLineHistory::outputsAndUnreportedLines()
{
    // cdc_acm makes CTS up: no row, a grey lane.
    LineHistory history;
    LineReading start;
    start.lines.cts = true;
    history.start(kOpen, start, AdapterDriver::named(QStringLiteral("cdc_acm")));
    QCOMPARE(history.size(), LineHistory::kLines - 1);
    QCOMPARE(history.at(0).line, Line::Dsr);
    QVERIFY(!history.summary(Line::Cts).reported);

    QSignalSpy appended(&history, &LineHistory::appended);
    history.addOutputs(kOpen.addMSecs(10), true, false);
    history.addOutputs(kOpen.addMSecs(510), false, false);
    QCOMPARE(appended.size(), 2);
    QCOMPARE(rowsOf(history), (QStringList{"high/10", "low/500"}));
    QCOMPARE(history.at(history.size() - 1).line, Line::Dtr);
    QCOMPARE(history.at(history.size() - 1).count, -1);
    QCOMPARE(history.summary(Line::Dtr).longestHighMs.value_or(-1), 500);
}

void TstLineHistory::boundedKeepsTheNewest()
{
    LineHistory history(10);
    history.start(kOpen, LineReading(), AdapterDriver());
    QSignalSpy dropped(&history, &LineHistory::droppedOldest);
    for (int i = 1; i <= 20; ++i)
        history.addOutputs(kOpen.addMSecs(i), i % 2, false);
    QCOMPARE(history.size(), 10);
    QCOMPARE(history.dropped(), 16u); // the 6 rows of the open and the first 10 changes
    QCOMPARE(history.at(9).msecs, kOpen.addMSecs(20).toMSecsSinceEpoch());
    // The summary counts from the open, not from what is kept.
    QCOMPARE(history.summary(Line::Dtr).changes, 20u);
    QVERIFY(!dropped.isEmpty());

    history.clear();
    QCOMPARE(history.size(), 0);
    QCOMPARE(history.dropped(), 0u);
    history.addOutputs(kOpen.addMSecs(100), true, false);
    QCOMPARE(rowsOf(history), QStringList{"high/80"});
}

void TstLineHistory::csv()
{
    LineHistory history;
    LineReading start;
    start.counted = true;
    start.lines.dsr = true;
    start.edges = {3, 4, 5};
    start.ringEdges = 6;
    history.start(kOpen, start, AdapterDriver());
    LineReading pulse = start;
    pulse.edges = {5, 4, 5};
    pulse.taken += std::chrono::milliseconds(1);
    history.add(kOpen.addMSecs(20), pulse);
    history.addOutputs(kOpen.addMSecs(320), false, true);

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    QVERIFY(history.writeCsv(&buffer, &error));
    const QStringList lines = QString::fromLatin1(buffer.data()).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines,
             (QStringList{"time,line,level,width_ms,count", "2023-11-14T23:13:20.000+01:00,CTS,low,,3",
                          "2023-11-14T23:13:20.000+01:00,DSR,high,,4", "2023-11-14T23:13:20.000+01:00,DCD,low,,5",
                          "2023-11-14T23:13:20.000+01:00,RI,low,,6", "2023-11-14T23:13:20.000+01:00,DTR,low,,",
                          "2023-11-14T23:13:20.000+01:00,RTS,low,,", "2023-11-14T23:13:20.020+01:00,CTS,pulse,,5",
                          "2023-11-14T23:13:20.320+01:00,RTS,high,320,"}));
}

QTEST_GUILESS_MAIN(TstLineHistory)
#include "tst_line_history.moc"
