// SPDX-License-Identifier: MIT
#pragma once

// detect: asks every port at once for its wavelength and lists those where
// a meter answered.

#include "meter/meterlink.h"

#include <QObject>
#include <QVector>

#include <memory>

namespace cli {

class Detector : public QObject
{
    Q_OBJECT

public:
    explicit Detector(const meter::Timing &timing, QObject *parent = nullptr);
    ~Detector() override;

    void start();
    void interrupt();

signals:
    void finished(int exitCode);

private:
    struct Probe;
    void settle(Probe &probe);
    void finishWhenSettled();

    meter::Timing timing;
    std::vector<std::unique_ptr<Probe>> probes;
    bool done = false;
};

} // namespace cli
