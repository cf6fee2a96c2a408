// SPDX-License-Identifier: MIT
#pragma once

#include <QPushButton>

// The notification switch: a plain push button whose caption reads
// "Disabled" or "Enabled". To a screen reader it is a check box that is
// ticked while notifications are on, so pressing it says the new state: a
// changed name of the focused button is not spoken (Qt 6.4 sends it in a
// form Orca rejects), a changed checked state is. The button itself stays
// uncheckable, so it never draws sunk in.
class NotificationSwitch : public QPushButton
{
    Q_OBJECT
public:
    explicit NotificationSwitch(QWidget *parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);

    static void installAccessibleInterface();

private:
    bool m_on = false;
};
