// SPDX-License-Identifier: MIT
#pragma once

// The loss budget of a job per wavelength: a fixed limit, or one computed
// from a table of attenuations, connector pairs and splices. Everything is
// in hundredths of a dB and kept as written: a limit is never rounded.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <optional>

namespace job {

// A table of attenuations per fibre type, the shape of
// resources/loss-budgets.json.
struct BudgetTable
{
    struct FibreType
    {
        QString name;  // as --budget takes it, e.g. singlemode-outside
        QString basis; // where its figures come from
        QMap<quint16, double> attenuation; // hundredths of a dB per km, by wavelength
    };
    QString source;  // "built in" or the file it came from
    QString edition; // which edition's values the table holds
    double connectorPair = 0; // hundredths of a dB
    double splice = 0;        // hundredths of a dB
    QVector<FibreType> types;
    const FibreType *type(const QString &name) const;
    QStringList typeNames() const;
};

// The table compiled in (resources/loss-budgets.json); it is checked by the
// tests, so a failure here is a broken build.
const BudgetTable &builtInTable();
// A table of the same shape from the user; nothing with the reason.
std::optional<BudgetTable> tableFrom(const QByteArray &json, const QString &source, QString *error);
std::optional<BudgetTable> loadTable(const QString &fileName, QString *error);

struct ComputedBudget
{
    QString type;
    double length = 0; // hundredths of a km
    int connectorPairs = 0;
    int splices = 0;
};

// The limit at one wavelength and how it was arrived at.
struct WavelengthLimit
{
    quint16 wavelengthNm = 0;
    double limit = 0; // hundredths of a dB
    QString formula;  // e.g. "2 km x 0.50 dB/km + ... = 1.00 + 1.50 + 1.20 = 3.70 dB"
};

struct JobBudget
{
    QString given; // the options as given, e.g. "--max-loss 1310:0.5,1550:0.4"
    QString basis;
    QVector<WavelengthLimit> limits;
    const WavelengthLimit *at(quint16 nanometres) const;
};

// A fixed limit, one for all wavelengths or one per wavelength. Nothing, with
// the reason, when a wavelength of the job has none.
std::optional<JobBudget> fixedBudget(std::optional<double> all, const QMap<quint16, double> &byWavelength,
                                     const QVector<quint16> &wavelengths, const QString &given, QString *error);
std::optional<JobBudget> computedBudget(const BudgetTable &table, const ComputedBudget &budget,
                                        const QVector<quint16> &wavelengths, const QString &given, QString *error);

// Hundredths as a decimal in dB: two places, more only where the value has
// them ("1.225"), so a sum of terms reads as it adds up.
QString decibelText(double hundredths);

} // namespace job
