// SPDX-License-Identifier: MIT
#include "text_box.h"

#include <QTextOption>

TextBox::TextBox(QWidget *parent)
    : QTextEdit(parent)
{
    setAcceptRichText(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
    QTextOption option = document()->defaultTextOption();
    option.setAlignment(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document()->setDefaultTextOption(option);
    connect(this, &QTextEdit::textChanged, this, &TextBox::noteEdit);
}

void TextBox::setText(const QString &text)
{
    if (text == m_text)
        return;
    setPlainText(text);
}

void TextBox::noteEdit()
{
    // QTextEdit also reports edits that leave the plain text as it was.
    QString now = toPlainText();
    if (now == m_text)
        return;
    m_text = std::move(now);
    Q_EMIT changed();
}
