// SPDX-License-Identifier: MIT
#pragma once

#include <QTextEdit>

// A multi-line text box with centred text whose change notification fires
// only when its text really changes, whether by the program or by typing.
class TextBox : public QTextEdit
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY changed USER true)
public:
    explicit TextBox(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    // Writing the text the box already holds is not a change and costs nothing.
    void setText(const QString &text);

Q_SIGNALS:
    void changed();

private:
    void noteEdit();

    QString m_text;
};
