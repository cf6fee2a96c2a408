// SPDX-License-Identifier: MIT
#include "notification_switch.h"

#include <QAccessibleWidget>

namespace {
class SwitchInterface : public QAccessibleWidget
{
public:
    explicit SwitchInterface(NotificationSwitch *button)
        : QAccessibleWidget(button, QAccessible::CheckBox)
    {
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = button()->isOn();
        return s;
    }

    QStringList actionNames() const override
    {
        return QStringList{pressAction(), toggleAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &action) override
    {
        if (action == pressAction() || action == toggleAction())
            button()->click();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    NotificationSwitch *button() const { return static_cast<NotificationSwitch *>(widget()); }
};

QAccessibleInterface *switchInterface(const QString &className, QObject *object)
{
    if (className == QLatin1String("NotificationSwitch") && object && object->isWidgetType())
        return new SwitchInterface(static_cast<NotificationSwitch *>(object));
    return nullptr;
}
}

NotificationSwitch::NotificationSwitch(QWidget *parent)
    : QPushButton(parent)
{
}

void NotificationSwitch::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void NotificationSwitch::installAccessibleInterface()
{
    static const bool installed = (QAccessible::installFactory(switchInterface), true);
    Q_UNUSED(installed);
}
