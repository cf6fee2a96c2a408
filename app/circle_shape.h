// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QWidget>

// A filled circle: the largest that fits the box, centred, with a border in
// the window-text colour. Used for the three input indicators.
class CircleShape : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor WRITE setFillColor)
    Q_PROPERTY(int borderWidth READ borderWidth WRITE setBorderWidth)
public:
    explicit CircleShape(QWidget *parent = nullptr);

    QColor fillColor() const { return m_fillColor; }
    // Repaints only when the colour really changes: the polling cycle sets it
    // ten times a second.
    void setFillColor(const QColor &color);

    int borderWidth() const { return m_borderWidth; }
    void setBorderWidth(int width);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fillColor = Qt::black;
    int m_borderWidth = 3;
};
