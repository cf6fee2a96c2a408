#include "port_combo_box.h"

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
            setItemData(i, m_mapping.describe(port), Qt::ToolTipRole);
    }
}
