// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QPoint>
#include <QWidget>

// A straight line between two points given in the parent's coordinates; the
// widget covers just the line's bounding box.
class StraightLine : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QPoint point1 READ point1 WRITE setPoint1)
    Q_PROPERTY(QPoint point2 READ point2 WRITE setPoint2)
    Q_PROPERTY(QColor lineColor READ lineColor WRITE setLineColor)
    Q_PROPERTY(int lineWidth READ lineWidth WRITE setLineWidth)
public:
    explicit StraightLine(QWidget *parent = nullptr);

    QPoint point1() const { return m_p1; }
    void setPoint1(QPoint p);
    QPoint point2() const { return m_p2; }
    void setPoint2(QPoint p);
    QColor lineColor() const { return m_color; }
    void setLineColor(const QColor &color);
    int lineWidth() const { return m_width; }
    void setLineWidth(int width);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void placeOverLine();

    QPoint m_p1;
    QPoint m_p2;
    QColor m_color = Qt::black;
    int m_width = 1;
};
