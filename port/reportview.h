// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

class QTextEdit;

// Like QTextEdit::append for each block, but never read as rich text:
// the port details come from the device and may contain anything.
void appendPlainBlocks(QTextEdit *output, const QStringList &blocks);
