// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace cli {

// Each line is flushed at once: a log read through a pipe stays current,
// and nothing is lost if the run is killed.
// False when the line did not reach stdout: the reason is then in
// stdoutError().
bool printLine(const QString &line);
QString stdoutError();
// "stdout (/mnt/usb/log.csv)" when stdout is a file or device, so that a
// failed write names what the shell redirected it to; else "stdout".
QString stdoutName();
void printErrorLine(const QString &line);
// "zerak-cli: " + message on stderr.
void printError(const QString &message);
// "zerak-cli 1.0", as files record the program that made them.
QString toolName();

// "12/30 readings" on stderr, redrawn in place; only when stderr is a terminal.
class Progress
{
public:
    explicit Progress(int total);
    void show(int done);
    void clear();

private:
    int total;
    bool shown = false;
};

} // namespace cli
