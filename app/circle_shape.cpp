// SPDX-License-Identifier: MIT
#include "circle_shape.h"

#include <QPainter>

CircleShape::CircleShape(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void CircleShape::setFillColor(const QColor &color)
{
    if (color == m_fillColor)
        return;
    m_fillColor = color;
    update();
}

void CircleShape::setBorderWidth(int width)
{
    if (width == m_borderWidth)
        return;
    m_borderWidth = width;
    update();
}

void CircleShape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int diameter = qMin(width(), height());
    // The pen straddles the outline, so pull it in by half its width to keep
    // the whole border inside the box.
    const qreal inset = m_borderWidth / 2.0;
    const QRectF circle(QPointF((width() - diameter) / 2.0 + inset, (height() - diameter) / 2.0 + inset),
                        QSizeF(diameter - m_borderWidth, diameter - m_borderWidth));
    painter.setPen(m_borderWidth > 0 ? QPen(palette().color(QPalette::WindowText), m_borderWidth) : QPen(Qt::NoPen));
    painter.setBrush(m_fillColor);
    painter.drawEllipse(circle);
}
