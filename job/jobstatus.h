// SPDX-License-Identifier: MIT
#pragma once

// Where a job stands: per fibre and wavelength the latest result in each
// direction, their average where both are in, and the verdict on it.

#include "job/jobdata.h"

#include <QMap>
#include <QVector>

#include <optional>

namespace job {

struct WavelengthStatus
{
    quint16 wavelengthNm = 0;
    double limit = 0; // hundredths of a dB
    std::optional<StoredResult> aToB; // the latest in each direction
    std::optional<StoredResult> bToA;
    int earlier = 0; // results a re-test has replaced
    // The directions the job asks for are in: both for a bidirectional
    // job, else either.
    bool done = false;
    std::optional<double> loss; // the average of both directions, else the one there is
    std::optional<bool> pass;   // on loss, once done
    std::optional<double> margin() const;
    const std::optional<StoredResult> &in(Direction direction) const;
};

struct FibreStatus
{
    enum State { Untested, Passed, Failed };
    int fibre = 0;
    QVector<WavelengthStatus> wavelengths; // in the job's order
    // Failed as soon as a wavelength done fails; passed when every one is
    // done and passes.
    State state = Untested;
};

struct JobStatus
{
    enum Outcome { AllPassed, SomeFailed, SomeUntested };
    QVector<FibreStatus> fibres; // in the job's order
    int passed = 0;
    int failed = 0;
    int untested = 0;
    struct Worst
    {
        int fibre = 0;
        double margin = 0; // hundredths of a dB
    };
    QMap<quint16, Worst> worstMargin; // among the fibres done at that wavelength
    Outcome outcome() const;
};

JobStatus statusOf(const JobDefinition &job, const QVector<StoredResult> &results);
// The fibres with no result in that direction at some wavelength of the
// job (or of those given), in the job's order: what job run goes through.
QVector<int> fibresToTest(const JobDefinition &job, const QVector<StoredResult> &results, Direction direction,
                          const QVector<quint16> &wavelengths = {});
// The lowest of them.
std::optional<int> nextFibre(const JobDefinition &job, const QVector<StoredResult> &results, Direction direction);

} // namespace job
