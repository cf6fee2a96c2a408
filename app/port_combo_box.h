// SPDX-License-Identifier: MIT
#pragma once

#include "serial/port_mapping.h"

#include <QComboBox>

// The port list. Each entry's tooltip names the device its number stands for,
// worked out afresh whenever the list drops down (adapters come and go).
class PortComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit PortComboBox(QWidget *parent = nullptr);

    void setPortMapping(const PortMapping &mapping) { m_mapping = mapping; }
    void showPopup() override;

    static QString asToolTip(const QString &text);

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    void describePorts();

    PortMapping m_mapping;
};
