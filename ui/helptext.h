// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class QTextEdit;

// How to connect the meter and what each button does; shown in txtOutput.
extern const QString helpText;

// Appends the help text and shows it from its first line.
void appendHelpText(QTextEdit *output);
