// SPDX-License-Identifier: MIT
#include "port_combo_box.h"

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

void PortComboBox::describePorts()
{
    for (int i = 0; i < count(); ++i) {
        bool isNumber = false;
        const int port = itemText(i).toInt(&isNumber);
        if (isNumber)
            setItemData(i, asToolTip(m_mapping.describe(port)), Qt::ToolTipRole);
    }
}
