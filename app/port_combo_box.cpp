// SPDX-License-Identifier: MIT
#include "port_combo_box.h"

#include <QLineEdit>
#include <QSignalBlocker>

// Tooltips guess whether text is markup; a device or link name is never
// markup, so hand it over escaped inside a paragraph that keeps it as it is.
QString PortComboBox::asToolTip(const QString &text)
{
    return QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
}

PortComboBox::PortComboBox(QWidget *parent)
    : QComboBox(parent)
{
}

void PortComboBox::showPopup()
{
    describePorts();
    QComboBox::showPopup();
}

void PortComboBox::focusInEvent(QFocusEvent *event)
{
    // Tab selects the edit field's text, as ever. Orca speaks every change of
    // a selection, and this one comes before the focus it then announces with
    // the same text: "Select Port, selected, Port number editable combo box,
    // Select Port". So the field's line control (Qt's own child object) is
    // kept quiet while the focus arrives; the repaint does not depend on it.
    // Should a later Qt name it otherwise, the text is merely said twice.
    QObject *control = nullptr;
    if (lineEdit()) {
        for (QObject *child : lineEdit()->children()) {
            if (qstrcmp(child->metaObject()->className(), "QWidgetLineControl") == 0)
                control = child;
        }
    }
    const QSignalBlocker quiet(control);
    QComboBox::focusInEvent(event);
}

void PortComboBox::describePorts()
{
    for (int i = 0; i < count(); ++i) {
        bool isNumber = false;
        const int port = itemText(i).toInt(&isNumber);
        if (isNumber)
            setItemData(i, asToolTip(m_mapping.describe(port)), Qt::ToolTipRole);
    }
}
