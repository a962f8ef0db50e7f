// SPDX-License-Identifier: MIT
#pragma once

// A question on the terminal, answered with a line on stdin, read in the
// event loop so that Ctrl-C and the meter stay served while it waits.

#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

namespace cli {

class LinePrompt : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~LinePrompt() override;

    // Only then is anyone there to answer.
    static bool interactive();
    // The question on stderr; the next line typed, without its line feed, to answered.
    void ask(const QString &question, std::function<void(const QString &line)> answered);
    void cancel();

signals:
    void endOfInput(); // nobody will answer

private:
    QSocketNotifier *notifier = nullptr;
    QByteArray typed;
    std::function<void(const QString &)> then;
};

} // namespace cli
