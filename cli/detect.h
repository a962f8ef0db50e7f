// SPDX-License-Identifier: MIT
#pragma once

// detect: lists the ports where a meter answered, and why others were skipped.

#include "session/detector.h"

#include <QObject>

namespace cli {

class DetectRun : public QObject
{
    Q_OBJECT

public:
    explicit DetectRun(const meter::Timing &timing, QObject *parent = nullptr);

    void start();
    void interrupt();

signals:
    void finished(int exitCode);

private:
    void detected(const QVector<session::DetectedPort> &ports);

    session::Detector *detector;
};

} // namespace cli
