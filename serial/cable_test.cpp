// SPDX-License-Identifier: MIT
#include "cable_test.h"

#include <QStringList>

namespace {
constexpr bool kDtrAt[4] = {false, true, false, true};
constexpr bool kRtsAt[4] = {false, false, true, true};
const char *const kInputNames[] = {"CTS (8)", "DSR (6)", "DCD (1)", "RI (9)"};
const char kDtr[] = "DTR (4)";
const char kRts[] = "RTS (7)";

std::array<quint32, CableTest::kInputs> counters(const LineReading &reading)
{
    return {reading.edges[0], reading.edges[1], reading.edges[2], reading.ringEdges};
}

QString joined(const QStringList &names)
{
    return names.join(QLatin1String(", "));
}
}

CableTest::CableTest(SerialPort *port, QObject *parent)
    : QObject(parent)
    , m_port(port)
{
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    connect(&m_settle, &QTimer::timeout, this, &CableTest::settled);
}

QString CableTest::inputName(Input input)
{
    return QLatin1String(kInputNames[int(input)]);
}

void CableTest::start()
{
    if (running())
        return;
    m_levels = {};
    m_bounced = {};
    const bool read = reportRefusal(
        [&] {
            const LineState found = m_port->readLines();
            m_foundDtr = found.dtr;
            m_foundRts = found.rts;
        },
        [this](int number, const QString &text) { Q_EMIT failed(number, text); });
    if (!read)
        return;
    m_step = 0;
    drive();
}

void CableTest::drive()
{
    m_extra = 0;
    // Read here, not taken from the watcher's queued readings: one of the
    // last step's arriving late would count as this step's bounce.
    m_stepStart = LineReading();
    m_port->readCounters(&m_stepStart);
    m_looked = counters(m_stepStart);
    if (!reportRefusal(
            [&] {
                m_port->setDtrEnable(kDtrAt[m_step]);
                m_port->setRtsEnable(kRtsAt[m_step]);
            },
            [this](int number, const QString &text) { fail(number, text); }))
        return;
    m_settle.start(kSettle);
}

// Settled once the counters stand still for a whole settle time: a wire
// that bounces moves them more than once in a step, and is named.
void CableTest::settled()
{
    LineState lines;
    LineReading last;
    if (!reportRefusal(
            [&] {
                m_port->readCounters(&last);
                lines = m_port->readLines();
            },
            [this](int number, const QString &text) { fail(number, text); }))
        return;
    const bool levels[] = {lines.cts, lines.dsr, lines.dcd, lines.ri};
    const auto before = counters(m_stepStart);
    const auto now = counters(last);
    for (int i = 0; i < kInputs; ++i) {
        m_levels[size_t(m_step)][size_t(i)] = levels[i];
        if (last.counted && m_stepStart.counted && now[size_t(i)] - before[size_t(i)] > 1)
            m_bounced[size_t(i)] = true;
    }
    // Counters that moved since the last look: look again after another
    // settle time, so the levels read are the ones the wires came to rest at.
    if (last.counted && now != m_looked && m_extra < kExtraSettles) {
        m_looked = now;
        ++m_extra;
        m_settle.start(kSettle);
        return;
    }
    if (++m_step < 4) {
        drive();
        return;
    }
    restore();
    m_step = -1;
    Q_EMIT finished(judge(m_levels, m_bounced, m_port->driver()));
}

void CableTest::restore()
{
    reportRefusal(
        [&] {
            m_port->setDtrEnable(m_foundDtr);
            m_port->setRtsEnable(m_foundRts);
        },
        [](int, const QString &) {});
}

void CableTest::cancel()
{
    m_settle.stop();
    m_step = -1;
}

void CableTest::fail(int number, const QString &text)
{
    m_settle.stop();
    restore();
    m_step = -1;
    Q_EMIT failed(number, text);
}

CableTest::Result CableTest::judge(const std::array<std::array<bool, kInputs>, 4> &levels,
                                   const std::array<bool, kInputs> &bounced, const AdapterDriver &driver)
{
    Result result;
    result.levels = levels;
    result.bounced = bounced;
    result.reported = {driver.reports[0], driver.reports[1], driver.reports[2], driver.reportsRing};

    enum class Follows { Nothing, Dtr, Rts, High, Odd };
    std::array<Follows, kInputs> follows{};
    for (int i = 0; i < kInputs; ++i) {
        bool dtr = true, rts = true, high = true, low = true;
        for (int s = 0; s < 4; ++s) {
            const bool level = levels[size_t(s)][size_t(i)];
            dtr = dtr && level == kDtrAt[s];
            rts = rts && level == kRtsAt[s];
            high = high && level;
            low = low && !level;
        }
        follows[size_t(i)] = !result.reported[size_t(i)] ? Follows::Nothing
            : dtr                                        ? Follows::Dtr
            : rts                                        ? Follows::Rts
            : high                                       ? Follows::High
            : low                                        ? Follows::Nothing
                                                         : Follows::Odd;
    }
    const auto fromOutput = [&](Follows output) {
        QStringList names;
        for (int i = 0; i < kInputs; ++i) {
            if (follows[size_t(i)] == output)
                names.append(QLatin1String(kInputNames[i]));
        }
        return names;
    };
    const QStringList fromRts = fromOutput(Follows::Rts);
    const QStringList fromDtr = fromOutput(Follows::Dtr);
    QStringList wiring;
    if (!fromRts.isEmpty())
        wiring.append(QStringLiteral("%1 → %2").arg(QLatin1String(kRts), joined(fromRts)));
    if (!fromDtr.isEmpty())
        wiring.append(QStringLiteral("%1 → %2").arg(QLatin1String(kDtr), joined(fromDtr)));
    result.wiring = wiring.isEmpty() ? tr("No input follows DTR (4) or RTS (7).") : wiring.join(QLatin1String("; "));

    const auto is = [&](Input input, Follows output) { return follows[size_t(input)] == output; };
    const bool standard = is(Input::Cts, Follows::Rts) && is(Input::Dsr, Follows::Dtr) && is(Input::Dcd, Follows::Dtr);
    QStringList notes;
    if (standard && is(Input::Ri, Follows::Nothing)) {
        result.finding = Finding::StandardPlug;
        notes.append(tr("This is the standard loopback plug."));
    } else if (standard && is(Input::Ri, Follows::Dtr)) {
        result.finding = Finding::PlugWithRi;
        notes.append(tr("This is a loopback plug that also wires RI: DTR (4) reaches RI (9) as well."));
    } else if (fromRts.isEmpty() && fromDtr.isEmpty()) {
        result.finding = Finding::NoPlug;
        notes.append(tr("No plug: nothing follows the outputs."));
    } else {
        result.finding = Finding::Other;
        QStringList missing;
        if (!is(Input::Cts, Follows::Rts))
            missing.append(tr("%1 does not reach %2").arg(QLatin1String(kRts), QLatin1String(kInputNames[0])));
        for (const Input input : {Input::Dsr, Input::Dcd}) {
            if (!is(input, Follows::Dtr))
                missing.append(tr("%1 does not reach %2").arg(QLatin1String(kDtr), inputName(input)));
        }
        notes.append(tr("Not the standard loopback plug: %1.").arg(missing.join(QLatin1String("; "))));
        for (const Input input : {Input::Cts, Input::Dsr, Input::Dcd}) {
            const Follows wrong = input == Input::Cts ? Follows::Dtr : Follows::Rts;
            if (is(input, wrong)) {
                notes.append(tr("%1 follows %2 instead.")
                                 .arg(inputName(input), QLatin1String(wrong == Follows::Dtr ? kDtr : kRts)));
            }
        }
    }
    for (int i = 0; i < kInputs; ++i) {
        const auto input = Input(i);
        if (!result.reported[size_t(i)]) {
            notes.append(tr("%1 was not tested: %2.")
                             .arg(inputName(input), i < 3 ? driver.unreportedText(i) : driver.unreportedRingText()));
        } else if (follows[size_t(i)] == Follows::High) {
            notes.append(tr("%1 is high whatever the outputs do.").arg(inputName(input)));
        } else if (follows[size_t(i)] == Follows::Odd) {
            notes.append(tr("%1 changes with the outputs but follows neither alone.").arg(inputName(input)));
        }
        if (bounced[size_t(i)])
            notes.append(tr("%1 bounced as the outputs changed: check that wire.").arg(inputName(input)));
    }
    // A stuck or bouncing line spoils an otherwise good plug.
    for (int i = 0; i < kInputs; ++i) {
        if (bounced[size_t(i)] || follows[size_t(i)] == Follows::High || follows[size_t(i)] == Follows::Odd) {
            if (result.passed())
                result.finding = Finding::Other;
        }
    }
    result.verdict = notes.join(u' ');
    return result;
}
