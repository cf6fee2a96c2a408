// SPDX-License-Identifier: MIT
#pragma once

#include <QFrame>
#include <QPixmap>

// Draws its picture at the picture's own size from the top-left corner of the
// area inside the border, clipped there: never scaled, never over the border.
class PictureBox : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(QPixmap picture READ picture WRITE setPicture)
public:
    explicit PictureBox(QWidget *parent = nullptr);

    QPixmap picture() const { return m_picture; }
    void setPicture(const QPixmap &picture);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_picture;
};
