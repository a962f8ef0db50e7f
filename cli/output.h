// SPDX-License-Identifier: MIT
#pragma once

// Where rows go: stdout or a file, each line flushed as it is written and
// every write checked, so a full disk or a closed pipe is noticed at once.

#include <QFile>
#include <QString>

namespace cli {

class Output
{
public:
    // Empty name: stdout. False with error() on failure.
    bool open(const QString &fileName);
    bool writeLine(const QString &line);
    bool isOpen() const { return file.isOpen(); }
    bool failed() const { return !problem.isEmpty(); }
    // The reader has gone (a closed pipe): nothing more can reach it.
    bool gone() const { return readerGone; }
    bool isStdout() const { return name.isEmpty(); }
    // "cannot write to log.csv: No space left on device"
    QString error() const { return problem; }
    QString displayName() const;

private:
    QFile file;
    QString name;
    QString problem;
    bool readerGone = false;
};

} // namespace cli
