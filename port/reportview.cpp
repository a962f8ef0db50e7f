// SPDX-License-Identifier: MIT
#include "port/reportview.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void appendPlainBlocks(QTextEdit *output, const QStringList &blocks)
{
    // The steps of QTextEdit::append, with insertText where append would
    // guess at HTML.
    QScrollBar *scrollBar = output->verticalScrollBar();
    for (const QString &block : blocks) {
        const bool atBottom = output->isReadOnly() ? scrollBar->value() >= scrollBar->maximum()
                                                   : output->textCursor().atEnd();
        const QTextCursor current = output->textCursor();
        const QTextCharFormat currentFormat = current.charFormat();

        QTextCursor end(output->document());
        end.beginEditBlock();
        end.movePosition(QTextCursor::End);
        if (!output->document()->isEmpty())
            end.insertBlock(current.blockFormat(), currentFormat);
        else
            end.setCharFormat(currentFormat);
        end.insertText(block);
        if (!output->textCursor().hasSelection())
            output->setCurrentCharFormat(currentFormat);
        end.endEditBlock();

        if (atBottom)
            scrollBar->setValue(scrollBar->maximum());
    }
}
