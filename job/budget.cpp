// SPDX-License-Identifier: MIT
#include "job/budget.h"

#include "session/values.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>

#include <cmath>

// Outside any namespace, as Q_INIT_RESOURCE needs: a static library's
// resource is kept only when something calls for it.
static void initBudgetResource()
{
    Q_INIT_RESOURCE(budgets);
}

namespace job {

namespace {

// A JSON number through its shortest decimal, which is what the file says.
std::optional<double> hundredthsOf(const QJsonValue &value)
{
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return session::hundredths(QString::number(value.toDouble(), 'f', QLocale::FloatingPointShortest));
}

// Without trailing zeros: "2", "0.35".
QString plainDecimal(double hundredths)
{
    QString text = QString::number(hundredths / 100.0, 'f', 4);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString nanometres(const QVector<quint16> &list)
{
    QStringList names;
    for (quint16 nm : list)
        names << QString::number(nm);
    return names.join(QStringLiteral(", ")) + QStringLiteral(" nm");
}

QString ofTheJob(const QVector<quint16> &missing)
{
    return missing.size() == 1 ? QStringLiteral("a wavelength") : QStringLiteral("wavelengths");
}

} // namespace

QString decibelText(double hundredths)
{
    QString text = QString::number(hundredths / 100.0, 'f', 4);
    while (text.endsWith(QLatin1Char('0')) && text.indexOf(QLatin1Char('.')) < text.size() - 3)
        text.chop(1);
    return text == QLatin1String("-0.00") ? QStringLiteral("0.00") : text;
}

const BudgetTable::FibreType *BudgetTable::type(const QString &name) const
{
    for (const FibreType &entry : types)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

QStringList BudgetTable::typeNames() const
{
    QStringList names;
    for (const FibreType &entry : types)
        names << entry.name;
    return names;
}

std::optional<BudgetTable> tableFrom(const QByteArray &json, const QString &source, QString *error)
{
    const QString bad = QStringLiteral("%1 is not a table of loss budgets: %2").arg(source);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull()) {
        *error = bad.arg(parseError.errorString() + QStringLiteral(" at byte %1").arg(parseError.offset));
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = bad.arg(QStringLiteral("expected an object with \"edition\", \"connector_pair_dB\", "
                                        "\"splice_dB\" and \"types\""));
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    BudgetTable table;
    table.source = source;
    table.edition = root.value(QStringLiteral("edition")).toString().trimmed();
    if (table.edition.isEmpty()) {
        *error = bad.arg(QStringLiteral("\"edition\" must say which values the table holds"));
        return std::nullopt;
    }
    const auto loss = [&](const QJsonValue &value, const QString &what, double *to) {
        const std::optional<double> parsed = hundredthsOf(value);
        if (!parsed || *parsed < 0 || *parsed > 100000) {
            *error = bad.arg(QStringLiteral("%1 must be a number of dB from 0 to 1000").arg(what));
            return false;
        }
        *to = *parsed;
        return true;
    };
    if (!loss(root.value(QStringLiteral("connector_pair_dB")), QStringLiteral("\"connector_pair_dB\""),
              &table.connectorPair)
        || !loss(root.value(QStringLiteral("splice_dB")), QStringLiteral("\"splice_dB\""), &table.splice))
        return std::nullopt;
    const QJsonArray types = root.value(QStringLiteral("types")).toArray();
    if (types.isEmpty()) {
        *error = bad.arg(QStringLiteral("\"types\" must list at least one fibre type"));
        return std::nullopt;
    }
    static const QRegularExpression typeName(QStringLiteral("^[a-z0-9][a-z0-9-]*$"));
    for (int i = 0; i < types.size(); ++i) {
        const QJsonObject entry = types.at(i).toObject();
        BudgetTable::FibreType type;
        type.name = entry.value(QStringLiteral("name")).toString();
        const QString where = QStringLiteral("types[%1]").arg(i);
        if (!typeName.match(type.name).hasMatch()) {
            *error = bad.arg(QStringLiteral("%1: \"name\" must be lower-case letters, digits and '-', e.g. "
                                            "singlemode-outside")
                                 .arg(where));
            return std::nullopt;
        }
        if (table.type(type.name)) {
            *error = bad.arg(QStringLiteral("%1: the type %2 is listed twice").arg(where, type.name));
            return std::nullopt;
        }
        type.basis = entry.value(QStringLiteral("basis")).toString().trimmed();
        if (type.basis.isEmpty()) {
            *error = bad.arg(QStringLiteral("%1 (%2): \"basis\" must name where its figures come from")
                                 .arg(where, type.name));
            return std::nullopt;
        }
        const QJsonObject attenuation = entry.value(QStringLiteral("attenuation_dB_per_km")).toObject();
        if (attenuation.isEmpty()) {
            *error = bad.arg(QStringLiteral("%1 (%2): \"attenuation_dB_per_km\" must give dB/km by wavelength, "
                                            "e.g. {\"1310\": 0.5}")
                                 .arg(where, type.name));
            return std::nullopt;
        }
        for (auto it = attenuation.begin(); it != attenuation.end(); ++it) {
            bool ok = false;
            const int nm = it.key().toInt(&ok);
            if (!ok || nm < 400 || nm > 1700) {
                *error = bad.arg(QStringLiteral("%1 (%2): '%3' is not a wavelength in nm from 400 to 1700")
                                     .arg(where, type.name, it.key()));
                return std::nullopt;
            }
            double value = 0;
            if (!loss(it.value(), QStringLiteral("%1 (%2) at %3 nm").arg(where, type.name).arg(nm), &value))
                return std::nullopt;
            type.attenuation.insert(quint16(nm), value);
        }
        table.types << type;
    }
    return table;
}

std::optional<BudgetTable> loadTable(const QString &fileName, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the table of loss budgets %1: %2").arg(fileName, file.errorString());
        return std::nullopt;
    }
    return tableFrom(file.read(1 << 20), fileName, error);
}

const BudgetTable &builtInTable()
{
    static const BudgetTable table = [] {
        initBudgetResource();
        QFile file(QStringLiteral(":/budgets/loss-budgets.json"));
        QString error;
        std::optional<BudgetTable> loaded;
        if (file.open(QIODevice::ReadOnly))
            loaded = tableFrom(file.readAll(), QStringLiteral("the built-in table"), &error);
        if (!loaded)
            qFatal("the built-in table of loss budgets is broken: %s", qPrintable(error));
        return *loaded;
    }();
    return table;
}

const WavelengthLimit *JobBudget::at(quint16 nanometres) const
{
    for (const WavelengthLimit &limit : limits)
        if (limit.wavelengthNm == nanometres)
            return &limit;
    return nullptr;
}

std::optional<JobBudget> fixedBudget(std::optional<double> all, const QMap<quint16, double> &byWavelength,
                                     const QVector<quint16> &wavelengths, const QString &given, QString *error)
{
    JobBudget budget;
    budget.given = given;
    budget.basis = QStringLiteral("a fixed limit, as given");
    QVector<quint16> missing;
    for (quint16 nm : wavelengths) {
        if (!all && !byWavelength.contains(nm)) {
            missing << nm;
            continue;
        }
        const double limit = all ? *all : byWavelength.value(nm);
        budget.limits << WavelengthLimit{nm, limit, QStringLiteral("%1 dB (fixed)").arg(decibelText(limit))};
    }
    if (!missing.isEmpty()) {
        *error = QStringLiteral("%1 gives no limit at %2, %3 of the job; give one, e.g. %4:0.5")
                     .arg(given, nanometres(missing), ofTheJob(missing))
                     .arg(missing.first());
        return std::nullopt;
    }
    return budget;
}

std::optional<JobBudget> computedBudget(const BudgetTable &table, const ComputedBudget &computed,
                                        const QVector<quint16> &wavelengths, const QString &given, QString *error)
{
    const BudgetTable::FibreType *type = table.type(computed.type);
    if (!type) {
        *error = QStringLiteral("%1 has no fibre type '%2'; it has %3")
                     .arg(table.source, computed.type, table.typeNames().join(QStringLiteral(", ")));
        return std::nullopt;
    }
    QVector<quint16> missing;
    for (quint16 nm : wavelengths)
        if (!type->attenuation.contains(nm))
            missing << nm;
    if (!missing.isEmpty()) {
        *error = QStringLiteral("the %1 budget (%2) gives no attenuation at %3, %4 of the job; it has %5")
                     .arg(type->name, table.source, nanometres(missing), ofTheJob(missing),
                          nanometres(type->attenuation.keys().toVector()));
        return std::nullopt;
    }
    JobBudget budget;
    budget.given = given;
    budget.basis = QStringLiteral("%1 (%2): %3; connector pair %4 dB, splice %5 dB")
                       .arg(table.edition, table.source, type->basis, decibelText(table.connectorPair),
                            decibelText(table.splice));
    for (quint16 nm : wavelengths) {
        const double attenuation = type->attenuation.value(nm);
        // Multiplied before dividing: hundredths of a km times hundredths
        // of a dB per km stay whole numbers until the one division.
        const double fibre = computed.length * attenuation / 100.0;
        const double connectors = computed.connectorPairs * table.connectorPair;
        const double splices = computed.splices * table.splice;
        const double limit = fibre + connectors + splices;
        const QString formula = QStringLiteral("%1 km x %2 dB/km + %3 connector pairs x %4 dB + %5 splices x %6 dB = "
                                               "%7 + %8 + %9 = %10 dB")
                                    .arg(plainDecimal(computed.length), decibelText(attenuation))
                                    .arg(computed.connectorPairs)
                                    .arg(decibelText(table.connectorPair))
                                    .arg(computed.splices)
                                    .arg(decibelText(table.splice), decibelText(fibre), decibelText(connectors),
                                         decibelText(splices), decibelText(limit));
        budget.limits << WavelengthLimit{nm, limit, formula};
    }
    return budget;
}

} // namespace job
