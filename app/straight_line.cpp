// SPDX-License-Identifier: MIT
#include "straight_line.h"

#include <QPainter>

StraightLine::StraightLine(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void StraightLine::setPoint1(QPoint p)
{
    m_p1 = p;
    placeOverLine();
}

void StraightLine::setPoint2(QPoint p)
{
    m_p2 = p;
    placeOverLine();
}

void StraightLine::setLineColor(const QColor &color)
{
    m_color = color;
    update();
}

void StraightLine::setLineWidth(int width)
{
    m_width = qMax(1, width);
    placeOverLine();
}

void StraightLine::placeOverLine()
{
    // The pen is centred on the line, so the box grows by half the width on
    // each side.
    const int half = m_width / 2;
    const QRect box = QRect(m_p1, m_p2).normalized().adjusted(-half, -half, m_width - half - 1, m_width - half - 1);
    setGeometry(box);
    update();
}

void StraightLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QPen pen(m_color, m_width);
    pen.setCapStyle(Qt::FlatCap);
    painter.setPen(pen);
    const QPointF offset = geometry().topLeft();
    const QPointF centre(m_width % 2 ? 0.5 : 0.0, m_width % 2 ? 0.5 : 0.0);
    painter.drawLine(QPointF(m_p1) - offset + centre, QPointF(m_p2) - offset + centre);
}
