#pragma once

#include <QString>

// How to connect the meter and what each button does; shown in txtOutput.
extern const QString helpText;
