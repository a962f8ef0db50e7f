#pragma once

// detect: asks every port at once for its wavelength and lists those where
// a meter answered.

#include <QObject>
#include <QVector>

#include <memory>

namespace cli {

class Detector : public QObject
{
    Q_OBJECT

public:
    // Short: a port that answers at all answers within a few ms.
    static constexpr int probeDeadlineMs = 300;

    explicit Detector(QObject *parent = nullptr);
    ~Detector() override;

    void start();
    void interrupt();

signals:
    void finished(int exitCode);

private:
    struct Probe;
    void settle(Probe &probe);
    void finishWhenSettled();

    std::vector<std::unique_ptr<Probe>> probes;
    bool done = false;
};

} // namespace cli
