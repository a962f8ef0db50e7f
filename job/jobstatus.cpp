// SPDX-License-Identifier: MIT
#include "job/jobstatus.h"

#include <QHash>

namespace job {

std::optional<double> WavelengthStatus::margin() const
{
    if (!loss)
        return std::nullopt;
    return limit - *loss;
}

const std::optional<StoredResult> &WavelengthStatus::in(Direction direction) const
{
    return direction == Direction::AToB ? aToB : bToA;
}

JobStatus::Outcome JobStatus::outcome() const
{
    if (failed > 0)
        return SomeFailed;
    return untested > 0 ? SomeUntested : AllPassed;
}

JobStatus statusOf(const JobDefinition &job, const QVector<StoredResult> &results)
{
    JobStatus status;
    QHash<int, int> fibreIndex;
    for (int fibre : job.fibres) {
        fibreIndex.insert(fibre, status.fibres.size());
        FibreStatus entry;
        entry.fibre = fibre;
        for (quint16 nm : job.wavelengths) {
            WavelengthStatus wavelength;
            wavelength.wavelengthNm = nm;
            wavelength.limit = job.budget.at(nm) ? job.budget.at(nm)->limit : 0;
            entry.wavelengths << wavelength;
        }
        status.fibres << entry;
    }
    // In the order committed: a later result replaces an earlier one.
    for (const StoredResult &result : results) {
        const auto fibre = fibreIndex.constFind(result.fibre);
        const int index = job.wavelengths.indexOf(result.wavelengthNm);
        if (fibre == fibreIndex.constEnd() || index < 0)
            continue;
        WavelengthStatus &wavelength = status.fibres[*fibre].wavelengths[index];
        std::optional<StoredResult> &latest = result.direction == Direction::AToB ? wavelength.aToB : wavelength.bToA;
        if (latest) {
            if (latest->id > result.id)
                continue;
            ++wavelength.earlier;
        }
        latest = result;
    }
    for (FibreStatus &fibre : status.fibres) {
        bool allDone = true;
        bool anyFailed = false;
        for (WavelengthStatus &wavelength : fibre.wavelengths) {
            if (wavelength.aToB && wavelength.bToA)
                wavelength.loss = (wavelength.aToB->loss + wavelength.bToA->loss) / 2.0;
            else if (wavelength.aToB || wavelength.bToA)
                wavelength.loss = wavelength.aToB ? wavelength.aToB->loss : wavelength.bToA->loss;
            wavelength.done = job.bidirectional ? wavelength.aToB && wavelength.bToA : wavelength.loss.has_value();
            if (wavelength.done) {
                wavelength.pass = withinLimit(*wavelength.loss, wavelength.limit);
                anyFailed = anyFailed || !*wavelength.pass;
                const double margin = *wavelength.margin();
                const auto worst = status.worstMargin.constFind(wavelength.wavelengthNm);
                if (worst == status.worstMargin.constEnd() || margin < worst->margin)
                    status.worstMargin.insert(wavelength.wavelengthNm, JobStatus::Worst{fibre.fibre, margin});
            }
            allDone = allDone && wavelength.done;
        }
        fibre.state = anyFailed ? FibreStatus::Failed : allDone ? FibreStatus::Passed : FibreStatus::Untested;
        ++(fibre.state == FibreStatus::Failed ? status.failed
                                              : fibre.state == FibreStatus::Passed ? status.passed : status.untested);
    }
    return status;
}

QVector<int> fibresToTest(const JobDefinition &job, const QVector<StoredResult> &results, Direction direction,
                          const QVector<quint16> &wavelengths)
{
    const QVector<quint16> &asked = wavelengths.isEmpty() ? job.wavelengths : wavelengths;
    QHash<int, QVector<quint16>> tested;
    for (const StoredResult &result : results)
        if (result.direction == direction && !tested.value(result.fibre).contains(result.wavelengthNm))
            tested[result.fibre] << result.wavelengthNm;
    QVector<int> fibres;
    for (int fibre : job.fibres)
        for (quint16 nm : asked)
            if (!tested.value(fibre).contains(nm)) {
                fibres << fibre;
                break;
            }
    return fibres;
}

std::optional<int> nextFibre(const JobDefinition &job, const QVector<StoredResult> &results, Direction direction)
{
    const QVector<int> fibres = fibresToTest(job, results, direction);
    if (fibres.isEmpty())
        return std::nullopt;
    return fibres.first();
}

} // namespace job
