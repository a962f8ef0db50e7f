// SPDX-License-Identifier: MIT
#pragma once

// Asks every port at once for its wavelength and finds those where a meter
// answered: a whole reply with a wavelength a meter uses, and a quiet line
// behind it.

#include "meter/meterlink.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>

namespace session {

struct DetectedPort
{
    QString path;
    std::optional<meter::Frame> wavelength; // a meter answered
    QString problem;                        // why a port that answered is not one
};

class Detector : public QObject
{
    Q_OBJECT

public:
    explicit Detector(const meter::Timing &timing, QObject *parent = nullptr);
    ~Detector() override;

    void start();
    void interrupt();

signals:
    // A port not asked: busy, or it would not open.
    void skipped(const QString &path, const QString &reason);
    // Every port asked, in the order asked.
    void finished(const QVector<session::DetectedPort> &ports);

private:
    struct Probe;
    void settle(Probe &probe);
    void finishWhenSettled();
    QStringList portsToAsk();

    meter::Timing timing;
    std::vector<std::unique_ptr<Probe>> probes;
    bool done = false;
};

} // namespace session
