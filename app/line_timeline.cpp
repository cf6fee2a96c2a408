// SPDX-License-Identifier: MIT
#include "line_timeline.h"

#include "serial/line_history.h"

#include <QDateTime>
#include <QPainter>

#include <array>

namespace {
const QColor kHigh(200, 0, 0);
const QColor kLow(0, 150, 0);
const QColor kPulse(0, 70, 200);
const QColor kGrey(200, 200, 200);

// A tick every so many ms, for about one label per 100 px.
qint64 axisStep(qint64 span, int width)
{
    static constexpr qint64 steps[] = {100,   200,   500,    1000,   2000,   5000,   10000,   15000,
                                       30000, 60000, 120000, 300000, 600000, 900000, 1800000, 3600000};
    const qint64 wanted = span * 100 / std::max(width, 1);
    for (const qint64 step : steps) {
        if (step >= wanted)
            return step;
    }
    return steps[std::size(steps) - 1];
}
}

LineTimeline::LineTimeline(const LineHistory *history, QWidget *parent)
    : QWidget(parent)
    , m_history(history)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(tr("Timeline"));
}

QSize LineTimeline::sizeHint() const
{
    return {kLabelWidth + 600, kAxisHeight + LineHistory::kLines * kLaneHeight};
}

QSize LineTimeline::minimumSizeHint() const
{
    return {kLabelWidth + 200, kAxisHeight + LineHistory::kLines * kLaneHeight};
}

void LineTimeline::setView(qint64 end, qint64 span)
{
    m_end = end;
    m_span = std::max<qint64>(span, 1);
    update();
}

QString LineTimeline::laneSummary(const LineHistory &history, int line)
{
    const auto l = LineHistory::Line(line);
    const LineHistory::Summary &s = history.summary(l);
    const QString name = QStringLiteral("%1 (%2)").arg(LineHistory::lineName(l)).arg(LineHistory::pin(l));
    if (!s.reported)
        return tr("%1: not reported by this adapter (%2)").arg(name, history.driver().name);
    QString text = (s.changes == 1 ? tr("%1: %2, 1 change") : tr("%1: %2, %3 changes"))
                       .arg(name, s.level ? tr("high") : tr("low"))
                       .arg(s.changes);
    if (s.pulses)
        text += s.pulses == 1 ? tr(", 1 pulse") : tr(", %1 pulses").arg(s.pulses);
    if (s.shortestHighMs)
        text += tr(", high %1–%2 ms").arg(*s.shortestHighMs).arg(*s.longestHighMs);
    return text;
}

void LineTimeline::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
    const int left = kLabelWidth;
    const int width = std::max(this->width() - left - 4, 1);
    const qint64 start = m_end - m_span;
    const auto xAt = [&](qint64 ms) { return left + int(double(ms - start) * width / double(m_span)); };

    // The time axis.
    p.setPen(palette().color(QPalette::Text));
    const qint64 step = axisStep(m_span, width);
    for (qint64 t = (start / step + 1) * step; t <= m_end; t += step) {
        const int x = xAt(t);
        p.drawLine(x, kAxisHeight - 5, x, kAxisHeight);
        const QString label = QDateTime::fromMSecsSinceEpoch(t).toString(step < 1000 ? QStringLiteral("HH:mm:ss.zzz")
                                                                                     : QStringLiteral("HH:mm:ss"));
        p.drawText(QRect(x - 50, 0, 100, kAxisHeight - 6), Qt::AlignHCenter | Qt::AlignBottom, label);
    }

    // Per lane: where its trace stands, and at which level.
    struct Trace {
        bool known = false;
        bool level = false;
        int x = 0;
    };
    std::array<Trace, LineHistory::kLines> traces{};
    const auto laneTop = [](int line) { return kAxisHeight + line * kLaneHeight; };
    const auto yAt = [&](int line, bool high) { return laneTop(line) + (high ? 8 : kLaneHeight - 8); };

    for (int line = 0; line < LineHistory::kLines; ++line) {
        const QRect lane(0, laneTop(line), this->width(), kLaneHeight);
        const bool reported = m_history->summary(LineHistory::Line(line)).reported;
        if (!reported)
            p.fillRect(lane.adjusted(left, 1, 0, -1), kGrey);
        p.setPen(palette().color(QPalette::Mid));
        p.drawLine(lane.bottomLeft(), lane.bottomRight());
        p.setPen(palette().color(QPalette::Text));
        const auto l = LineHistory::Line(line);
        p.drawText(QRect(4, lane.top(), left - 8, kLaneHeight / 2), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("%1 (%2)").arg(LineHistory::lineName(l)).arg(LineHistory::pin(l)));
        QFont small = font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        p.save();
        p.setFont(small);
        p.drawText(QRect(4, lane.top() + kLaneHeight / 2, left - 8, kLaneHeight / 2), Qt::AlignLeft | Qt::AlignVCenter,
                   laneSummary(*m_history, line).section(u':', 1).trimmed());
        p.restore();
        if (!reported) {
            p.drawText(lane.adjusted(left + 8, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                       tr("not reported by this adapter (%1)").arg(m_history->driver().name));
        }
    }

    p.setRenderHint(QPainter::Antialiasing, false);
    const auto drawTo = [&](int line, int x) {
        Trace &t = traces[size_t(line)];
        if (!t.known || x <= t.x)
            return;
        p.setPen(QPen(t.level ? kHigh : kLow, 2));
        p.drawLine(t.x, yAt(line, t.level), x, yAt(line, t.level));
        t.x = x;
    };
    for (int i = 0; i < m_history->size(); ++i) {
        const LineHistory::Change &c = m_history->at(i);
        const int line = int(c.line);
        Trace &t = traces[size_t(line)];
        if (c.msecs > m_end)
            break;
        const int x = std::max(xAt(c.msecs), left);
        if (c.level == LineHistory::Level::Pulse) {
            drawTo(line, x);
            if (c.msecs >= start) {
                // An analyser's tick: the whole lane's height, whatever the zoom.
                p.setPen(QPen(kPulse, 2));
                p.drawLine(x, laneTop(line) + 3, x, laneTop(line) + kLaneHeight - 3);
                p.setBrush(kPulse);
                p.drawPolygon(QPolygon({QPoint(x - 4, laneTop(line) + 2), QPoint(x + 4, laneTop(line) + 2),
                                        QPoint(x, laneTop(line) + 7)}));
                p.setBrush(Qt::NoBrush);
            }
            continue;
        }
        const bool high = c.level == LineHistory::Level::High;
        drawTo(line, x);
        if (t.known && t.level != high && c.msecs >= start) {
            p.setPen(QPen(high ? kHigh : kLow, 2));
            p.drawLine(x, yAt(line, t.level), x, yAt(line, high));
        }
        t.known = true;
        t.level = high;
        t.x = x;
    }
    const qint64 until = m_history->endedAt() >= 0 ? m_history->endedAt() : QDateTime::currentMSecsSinceEpoch();
    const int now = std::min(xAt(until), left + width);
    for (int line = 0; line < LineHistory::kLines; ++line) {
        if (m_history->summary(LineHistory::Line(line)).reported)
            drawTo(line, now);
    }
}
