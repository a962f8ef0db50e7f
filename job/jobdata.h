// SPDX-License-Identifier: MIT
#pragma once

// What a job holds: the cable and how it is tested, the references taken and
// the results, as they are stored. Levels in hundredths of a dB or dBm.

#include "job/budget.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <optional>

namespace job {

enum class Direction { AToB, BToA };
QString directionName(Direction direction); // "A-B", "B-A"
std::optional<Direction> directionFrom(const QString &text);

enum class Method { OneCord, TwoCord, ThreeCord };
QString methodName(Method method); // "1-cord", ...
std::optional<Method> methodFrom(const QString &text);

constexpr int maxFibre = 9999;
// "1-12,25-36" as fibres 1 to 12 and 25 to 36, ascending; nothing, with the
// reason, for a bad item, a fibre listed twice or one above maxFibre.
std::optional<QVector<int>> fibresFrom(const QString &text, QString *error);
// The list as ranges again: "1-12,25-36".
QString fibresText(const QVector<int> &fibres);

struct JobDefinition
{
    QString cable;
    QVector<int> fibres; // ascending
    QVector<quint16> wavelengths;
    QString endA = QStringLiteral("A");
    QString endB = QStringLiteral("B");
    QString operatorName;
    Method method = Method::OneCord;
    bool bidirectional = false;
    JobBudget budget; // a limit for every wavelength
    QString tool;
    QDateTime created; // UTC
};

// What is missing or wrong in a definition before it may become a job:
// empty when it may.
QString problemWith(const JobDefinition &definition);

struct StoredReference
{
    qint64 id = 0; // given by the store
    quint16 wavelengthNm = 0;
    double mean = 0;      // dBm
    double deviation = 0; // dB
    qint64 count = 0;
    QDateTime taken; // UTC
    QString port;
    QString tool;
};

// One fibre, one direction, one wavelength.
struct StoredResult
{
    qint64 id = 0; // given by the store; later results have higher ones
    int fibre = 0;
    Direction direction = Direction::AToB;
    quint16 wavelengthNm = 0;
    double reading = 0;   // dBm, the mean of the readings
    double deviation = 0; // dB
    qint64 count = 0;
    double loss = 0;  // dB
    double limit = 0; // dB
    bool pass = false; // set by the store from loss and limit
    QDateTime time;    // UTC
    qint64 referenceId = 0;
    QString port;
    QString tool;
    double margin() const { return limit - loss; }
};

// A loss up to the limit passes, compared unrounded; only the division of a
// mean rounds, by far less than this.
inline bool withinLimit(double loss, double limit)
{
    return loss <= limit + 1e-9;
}

// Times as the job stores them: UTC, ISO 8601 with milliseconds.
QString timeText(const QDateTime &time);

} // namespace job
