// SPDX-License-Identifier: MIT
#include "job/cablereport.h"

#include "report/chart.h"
#include "report/document.h"
#include "session/values.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>

namespace job {

using session::hundredthsText;

namespace {

// To a thousandth of a dB: a mean is finer than the meter.
double decibels(double hundredths)
{
    return std::round(hundredths * 10.0) / 1000.0;
}

QString stateName(FibreStatus::State state)
{
    switch (state) {
    case FibreStatus::Passed:
        return QStringLiteral("PASS");
    case FibreStatus::Failed:
        return QStringLiteral("FAIL");
    case FibreStatus::Untested:
        break;
    }
    return QStringLiteral("untested");
}

QString resultName(const WavelengthStatus &wavelength)
{
    if (!wavelength.pass)
        return QStringLiteral("untested");
    return *wavelength.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL");
}

QString colourOf(const QString &result)
{
    if (result == QLatin1String("PASS"))
        return QStringLiteral("#1b7a2e");
    if (result == QLatin1String("FAIL"))
        return QStringLiteral("#b3261e");
    return QStringLiteral("#555555");
}

// Compared unrounded: a loss that would print as its limit and fail shows
// the digit that fails it.
QString lossText(double loss, double limit)
{
    const QString text = hundredthsText(loss);
    if (!withinLimit(loss, limit) && text == hundredthsText(limit))
        return QString::number(std::round(loss * 10.0) / 1000.0, 'f', 3);
    return text;
}

QString directionText(const std::optional<StoredResult> &result)
{
    return result ? lossText(result->loss, result->limit) : QStringLiteral("-");
}

QString readable(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

QString nanometres(quint16 nm)
{
    return QStringLiteral("%1 nm").arg(nm);
}

// The reference each wavelength is measured against now: the latest.
QVector<StoredReference> latestReferences(const CableRecord &record)
{
    QVector<StoredReference> latest;
    for (quint16 nm : record.job.wavelengths)
        for (auto it = record.references.crbegin(); it != record.references.crend(); ++it)
            if (it->wavelengthNm == nm) {
                latest << *it;
                break;
            }
    return latest;
}

// How old the reference was when the oldest of a row's results was taken.
std::optional<qint64> referenceAge(const CableRecord &record, const WavelengthStatus &wavelength)
{
    std::optional<qint64> age;
    for (const std::optional<StoredResult> *result : {&wavelength.aToB, &wavelength.bToA}) {
        if (!*result)
            continue;
        const StoredReference *reference = record.reference((*result)->referenceId);
        if (!reference)
            continue;
        const qint64 seconds = reference->taken.secsTo((*result)->time);
        age = std::max(age.value_or(seconds), seconds);
    }
    return age;
}

QStringList distinct(const QStringList &values)
{
    QStringList seen;
    for (const QString &value : values)
        if (!value.isEmpty() && !seen.contains(value))
            seen << value;
    return seen;
}

QString verdictText(const JobStatus &status)
{
    if (status.failed > 0) {
        QStringList failed;
        for (const FibreStatus &fibre : status.fibres)
            if (fibre.state == FibreStatus::Failed)
                failed << QString::number(fibre.fibre);
        return QStringLiteral("FAIL: %1 %2 over the budget")
            .arg(failed.size() == 1 ? QStringLiteral("fibre") : QStringLiteral("fibres"),
                 failed.join(QStringLiteral(", ")));
    }
    if (status.untested > 0)
        return QStringLiteral("not done: %1 of %2 fibres untested").arg(status.untested).arg(status.fibres.size());
    return QStringLiteral("PASS: every fibre within its budget");
}

QString verdictColour(const JobStatus &status)
{
    return colourOf(status.failed > 0 ? QStringLiteral("FAIL")
                                      : status.untested > 0 ? QString() : QStringLiteral("PASS"));
}

QJsonArray worstJson(const JobStatus &status)
{
    QJsonArray worst;
    for (auto it = status.worstMargin.begin(); it != status.worstMargin.end(); ++it)
        worst.append(QJsonObject{{QStringLiteral("wavelength_nm"), it.key()},
                                 {QStringLiteral("fibre"), it->fibre},
                                 {QStringLiteral("margin_dB"), decibels(it->margin)}});
    return worst;
}

QJsonObject wavelengthJson(const CableRecord &record, const WavelengthStatus &wavelength)
{
    QJsonObject object{{QStringLiteral("wavelength_nm"), wavelength.wavelengthNm},
                       {QStringLiteral("limit_dB"), decibels(wavelength.limit)},
                       {QStringLiteral("result"), resultName(wavelength)}};
    if (wavelength.aToB)
        object.insert(QStringLiteral("A-B_dB"), decibels(wavelength.aToB->loss));
    if (wavelength.bToA)
        object.insert(QStringLiteral("B-A_dB"), decibels(wavelength.bToA->loss));
    if (wavelength.loss) {
        object.insert(QStringLiteral("loss_dB"), decibels(*wavelength.loss));
        object.insert(QStringLiteral("margin_dB"), decibels(*wavelength.margin()));
    }
    if (wavelength.earlier > 0)
        object.insert(QStringLiteral("earlier_results"), wavelength.earlier);
    if (const std::optional<qint64> age = referenceAge(record, wavelength))
        object.insert(QStringLiteral("reference_age_s"), *age);
    return object;
}

QJsonObject jobJson(const CableRecord &record)
{
    const JobDefinition &job = record.job;
    QJsonArray wavelengths;
    QJsonArray limits;
    for (quint16 nm : job.wavelengths) {
        wavelengths.append(nm);
        const WavelengthLimit *limit = job.budget.at(nm);
        limits.append(QJsonObject{{QStringLiteral("wavelength_nm"), nm},
                                  {QStringLiteral("limit_dB"), decibels(limit->limit)},
                                  {QStringLiteral("formula"), limit->formula}});
    }
    return QJsonObject{{QStringLiteral("file"), record.fileName},
                       {QStringLiteral("cable"), job.cable},
                       {QStringLiteral("fibres"), fibresText(job.fibres)},
                       {QStringLiteral("wavelengths"), wavelengths},
                       {QStringLiteral("end_a"), job.endA},
                       {QStringLiteral("end_b"), job.endB},
                       {QStringLiteral("operator"), job.operatorName},
                       {QStringLiteral("method"), methodName(job.method)},
                       {QStringLiteral("bidirectional"), job.bidirectional},
                       {QStringLiteral("budget"), job.budget.given},
                       {QStringLiteral("budget_basis"), job.budget.basis},
                       {QStringLiteral("limits"), limits},
                       {QStringLiteral("tool"), job.tool},
                       {QStringLiteral("created"), timeText(job.created)}};
}

QJsonObject referenceJson(const StoredReference &reference)
{
    return QJsonObject{{QStringLiteral("id"), reference.id},
                       {QStringLiteral("wavelength_nm"), reference.wavelengthNm},
                       {QStringLiteral("mean_dBm"), decibels(reference.mean)},
                       {QStringLiteral("std_dev_dB"), decibels(reference.deviation)},
                       {QStringLiteral("readings"), reference.count},
                       {QStringLiteral("time"), timeText(reference.taken)},
                       {QStringLiteral("port"), reference.port},
                       {QStringLiteral("tool"), reference.tool}};
}

// A field as CSV has it: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

QString csvLine(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted << csvField(field);
    return quoted.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QByteArray reportJson(const CableRecord &record)
{
    QJsonArray references;
    for (const StoredReference &reference : latestReferences(record))
        references.append(referenceJson(reference));
    QJsonArray rows;
    for (const FibreStatus &fibre : record.status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths) {
            QJsonObject row = wavelengthJson(record, wavelength);
            row.insert(QStringLiteral("fibre"), fibre.fibre);
            row.insert(QStringLiteral("fibre_result"), stateName(fibre.state));
            rows.append(row);
        }
    const QJsonObject summary{{QStringLiteral("fibres"), record.status.fibres.size()},
                              {QStringLiteral("passed"), record.status.passed},
                              {QStringLiteral("failed"), record.status.failed},
                              {QStringLiteral("untested"), record.status.untested},
                              {QStringLiteral("worst_margin"), worstJson(record.status)},
                              {QStringLiteral("verdict"), verdictText(record.status)}};
    const QJsonObject document{{QStringLiteral("job"), jobJson(record)},
                               {QStringLiteral("report_time"), timeText(record.made)},
                               {QStringLiteral("references"), references},
                               {QStringLiteral("summary"), summary},
                               {QStringLiteral("rows"), rows}};
    return QJsonDocument(document).toJson();
}

QByteArray reportCsv(const CableRecord &record)
{
    QString text = csvLine({QStringLiteral("fibre"), QStringLiteral("wavelength_nm"), QStringLiteral("A-B_dB"),
                            QStringLiteral("B-A_dB"), QStringLiteral("loss_dB"), QStringLiteral("limit_dB"),
                            QStringLiteral("margin_dB"), QStringLiteral("result"), QStringLiteral("fibre_result"),
                            QStringLiteral("reference_age_s")});
    for (const FibreStatus &fibre : record.status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths) {
            const std::optional<qint64> age = referenceAge(record, wavelength);
            text += csvLine({QString::number(fibre.fibre), QString::number(wavelength.wavelengthNm),
                             wavelength.aToB ? directionText(wavelength.aToB) : QString(),
                             wavelength.bToA ? directionText(wavelength.bToA) : QString(),
                             wavelength.loss ? lossText(*wavelength.loss, wavelength.limit) : QString(),
                             hundredthsText(wavelength.limit),
                             wavelength.loss ? hundredthsText(*wavelength.margin()) : QString(),
                             resultName(wavelength), stateName(fibre.state),
                             age ? QString::number(*age) : QString()});
        }
    return text.toUtf8();
}

report::Chart chartOf(const CableRecord &record)
{
    report::Chart chart;
    chart.title = QStringLiteral("Loss per fibre: %1").arg(record.job.cable);
    chart.creator = record.job.tool;
    chart.facts << QStringLiteral("%1 fibres").arg(record.job.fibres.size());
    chart.facts << (record.job.bidirectional ? QStringLiteral("the average of both directions")
                                             : QStringLiteral("one direction, or the average of both"));
    chart.facts << readable(record.made);
    chart.x = report::XAxis{report::XAxis::Number, QStringLiteral("Fibre"), true};
    report::Panel panel;
    panel.axisTitle = QStringLiteral("Loss (dB)");
    QSet<double> limits;
    for (quint16 nm : record.job.wavelengths)
        limits.insert(record.job.budget.at(nm)->limit);
    for (int i = 0; i < record.job.wavelengths.size(); ++i) {
        const quint16 nm = record.job.wavelengths.at(i);
        report::Series series;
        series.name = nanometres(nm);
        series.colour = report::seriesColour(i);
        series.joined = false;
        for (const FibreStatus &fibre : record.status.fibres) {
            const WavelengthStatus &wavelength = fibre.wavelengths.at(i);
            if (wavelength.loss)
                series.points << report::Point{double(fibre.fibre), *wavelength.loss / 100.0, wavelength.pass == false};
        }
        panel.series << series;
        const double limit = record.job.budget.at(nm)->limit;
        // One line for a limit the wavelengths share.
        if (limits.size() > 1)
            panel.limits << report::LimitLine{limit / 100.0, QStringLiteral("%1 nm: %2 dB").arg(nm).arg(decibelText(limit))};
    }
    if (limits.size() == 1)
        panel.limits << report::LimitLine{*limits.begin() / 100.0,
                                          QStringLiteral("limit %1 dB").arg(decibelText(*limits.begin()))};
    chart.panels << panel;
    return chart;
}

bool anyLoss(const CableRecord &record)
{
    for (const FibreStatus &fibre : record.status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths)
            if (wavelength.loss)
                return true;
    return false;
}

QString openingHtml(const CableRecord &record)
{
    using report::escaped;
    const JobDefinition &job = record.job;
    QStringList ports;
    QStringList tools{job.tool};
    for (const StoredResult &result : record.results) {
        ports << result.port;
        tools << result.tool;
    }
    for (const StoredReference &reference : record.references) {
        ports << reference.port;
        tools << reference.tool;
    }
    QStringList references;
    for (const StoredReference &reference : latestReferences(record))
        references << QStringLiteral("%1: %2 dBm, std dev %3 dB (%4 readings), taken %5 on %6")
                          .arg(nanometres(reference.wavelengthNm), hundredthsText(reference.mean),
                               hundredthsText(reference.deviation), QString::number(reference.count),
                               readable(reference.taken), escaped(reference.port));
    if (references.isEmpty())
        references << QStringLiteral("none taken yet");
    else if (record.references.size() > references.size())
        references << QStringLiteral("(%1 references taken in all; each result names the one it was measured "
                                     "against)")
                          .arg(record.references.size());
    QStringList limits;
    for (quint16 nm : job.wavelengths)
        limits << QStringLiteral("%1: %2").arg(nanometres(nm), escaped(job.budget.at(nm)->formula));
    const QString br = QStringLiteral("<br>");
    const QVector<QPair<QString, QString>> facts = {
        {QStringLiteral("Job"), escaped(QFileInfo(record.fileName).fileName())},
        {QStringLiteral("Cable"), escaped(job.cable)},
        {QStringLiteral("Fibres"), QStringLiteral("%1 (%2)").arg(escaped(fibresText(job.fibres))).arg(job.fibres.size())},
        {QStringLiteral("Ends"), QStringLiteral("A: %1 &nbsp; B: %2").arg(escaped(job.endA), escaped(job.endB))},
        {QStringLiteral("Operator"), job.operatorName.isEmpty() ? QStringLiteral("&ndash;") : escaped(job.operatorName)},
        {QStringLiteral("Method"), QStringLiteral("%1 reference, %2")
                                       .arg(methodName(job.method),
                                            job.bidirectional ? QStringLiteral("both directions")
                                                              : QStringLiteral("one direction"))},
        {QStringLiteral("Port"), distinct(ports).isEmpty() ? QStringLiteral("&ndash;")
                                                          : escaped(distinct(ports).join(QStringLiteral(", ")))},
        {QStringLiteral("Tool"), escaped(distinct(tools).join(QStringLiteral(", ")))},
        {QStringLiteral("Reference"), references.join(br)},
        {QStringLiteral("Budget"), escaped(job.budget.given)},
        {QStringLiteral("Basis"), escaped(job.budget.basis)},
        {QStringLiteral("Limits"), limits.join(br)},
        {QStringLiteral("Made"), escaped(readable(job.created))},
        {QStringLiteral("Report"), escaped(readable(record.made))}};
    QStringList worst;
    for (auto it = record.status.worstMargin.begin(); it != record.status.worstMargin.end(); ++it)
        worst << QStringLiteral("%1: %2 dB (fibre %3)").arg(nanometres(it.key()), hundredthsText(it->margin))
                     .arg(it->fibre);
    const QVector<QPair<QString, QString>> summary = {
        {QStringLiteral("Fibres"), QStringLiteral("%1 passed, %2 failed, %3 untested")
                                       .arg(record.status.passed)
                                       .arg(record.status.failed)
                                       .arg(record.status.untested)},
        {QStringLiteral("Worst margin"), worst.isEmpty() ? QStringLiteral("&ndash;") : worst.join(br)}};
    return QStringLiteral("<h1>Cable test: %1</h1>\n").arg(escaped(job.cable)) + report::htmlFacts(facts)
           + QStringLiteral("<h2 style=\"color:%1\">%2</h2>\n")
                 .arg(verdictColour(record.status), escaped(verdictText(record.status)))
           + report::htmlFacts(summary);
}

QString tableHtml(const CableRecord &record)
{
    using report::Cell;
    QVector<QVector<Cell>> rows;
    for (const FibreStatus &fibre : record.status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths) {
            const QString result = resultName(wavelength);
            const std::optional<qint64> age = referenceAge(record, wavelength);
            const QString dash = QStringLiteral("&ndash;");
            rows << QVector<Cell>{
                {QString::number(fibre.fibre), Cell::Right},
                {QString::number(wavelength.wavelengthNm), Cell::Right},
                {wavelength.aToB ? directionText(wavelength.aToB) : dash, Cell::Right},
                {wavelength.bToA ? directionText(wavelength.bToA) : dash, Cell::Right},
                {wavelength.loss ? lossText(*wavelength.loss, wavelength.limit) : dash, Cell::Right, true},
                {hundredthsText(wavelength.limit), Cell::Right},
                {wavelength.loss ? hundredthsText(*wavelength.margin()) : dash, Cell::Right},
                {result, Cell::Centre, true, true, colourOf(result)},
                {age ? ageText(*age) : dash, Cell::Right}};
        }
    const QStringList headers = {QStringLiteral("Fibre"),       QStringLiteral("nm"),
                                 QStringLiteral("A-B (dB)"),    QStringLiteral("B-A (dB)"),
                                 QStringLiteral("Loss (dB)"),   QStringLiteral("Limit (dB)"),
                                 QStringLiteral("Margin (dB)"), QStringLiteral("Result"),
                                 QStringLiteral("Ref. age")};
    return QStringLiteral("<h2>Results</h2>\n<p>Loss: the average where both directions are in. Ref. age: how old "
                          "the reference was when the fibre was measured.</p>\n")
           + report::htmlTable(headers, rows, 3);
}

QString reportHtml(const CableRecord &record)
{
    QString chart;
    if (anyLoss(record))
        chart = QStringLiteral("<p><img alt=\"Loss per fibre\" style=\"max-width:100%\" "
                               "src=\"data:image/svg+xml;base64,%1\"></p>\n")
                    .arg(QString::fromLatin1(report::chartSvg(chartOf(record)).toBase64()));
    return report::htmlPage(QStringLiteral("Cable test: %1").arg(report::escaped(record.job.cable)),
                            openingHtml(record) + chart + tableHtml(record));
}

bool reportPdf(const QString &fileName, const CableRecord &record, QString *error)
{
    const report::Chart chart = chartOf(record);
    report::PagedReport paged;
    paged.title = QStringLiteral("Cable test: %1").arg(record.job.cable);
    paged.creator = record.job.tool;
    paged.running = QStringLiteral("Cable %1  ·  %2  ·  report of %3")
                        .arg(record.job.cable, QFileInfo(record.fileName).fileName(), readable(record.made));
    paged.opening = openingHtml(record);
    paged.chart = anyLoss(record) ? &chart : nullptr;
    paged.body = tableHtml(record);
    return report::writePagedPdf(fileName, paged, error);
}

} // namespace

const StoredReference *CableRecord::reference(qint64 id) const
{
    for (const StoredReference &stored : references)
        if (stored.id == id)
            return &stored;
    return nullptr;
}

CableRecord cableRecord(const JobStore &store)
{
    CableRecord record;
    record.fileName = store.fileName();
    record.job = store.definition();
    record.references = store.references();
    record.results = store.results();
    record.status = statusOf(record.job, record.results);
    record.made = QDateTime::currentDateTimeUtc();
    return record;
}

QStringList statusLines(const CableRecord &record)
{
    QString groups = QString(6, QLatin1Char(' '));
    QString columns = QStringLiteral("%1").arg(QStringLiteral("fibre"), -6);
    for (quint16 nm : record.job.wavelengths) {
        groups += QStringLiteral("%1").arg(QStringLiteral("%1 nm (dB)").arg(nm), -30);
        columns += QStringLiteral("%1%2%3%4  ").arg(QStringLiteral("A-B"), 7).arg(QStringLiteral("B-A"), 7)
                       .arg(QStringLiteral("loss"), 7).arg(QStringLiteral("margin"), 7);
    }
    while (groups.endsWith(QLatin1Char(' ')))
        groups.chop(1);
    QStringList lines{groups, columns + QStringLiteral("result")};
    for (const FibreStatus &fibre : record.status.fibres) {
        QString line = QStringLiteral("%1").arg(fibre.fibre, -6);
        for (const WavelengthStatus &wavelength : fibre.wavelengths)
            line += QStringLiteral("%1%2%3%4  ")
                        .arg(directionText(wavelength.aToB), 7)
                        .arg(directionText(wavelength.bToA), 7)
                        .arg(wavelength.loss ? lossText(*wavelength.loss, wavelength.limit) : QStringLiteral("-"), 7)
                        .arg(wavelength.loss ? hundredthsText(*wavelength.margin()) : QStringLiteral("-"), 7);
        lines << line + stateName(fibre.state);
    }
    return lines << countLines(record.status);
}

QStringList countLines(const JobStatus &status)
{
    QStringList lines{QStringLiteral("%1 fibres: %2 passed, %3 failed, %4 untested")
                          .arg(status.fibres.size())
                          .arg(status.passed)
                          .arg(status.failed)
                          .arg(status.untested)};
    QStringList worst;
    for (auto it = status.worstMargin.begin(); it != status.worstMargin.end(); ++it)
        worst << QStringLiteral("%1 %2 dB (fibre %3)").arg(nanometres(it.key()), hundredthsText(it->margin))
                     .arg(it->fibre);
    if (!worst.isEmpty())
        lines << QStringLiteral("worst margin: ") + worst.join(QStringLiteral(", "));
    return lines;
}

QByteArray statusJson(const CableRecord &record)
{
    QJsonArray fibres;
    for (const FibreStatus &fibre : record.status.fibres) {
        QJsonArray wavelengths;
        for (const WavelengthStatus &wavelength : fibre.wavelengths)
            wavelengths.append(wavelengthJson(record, wavelength));
        fibres.append(QJsonObject{{QStringLiteral("fibre"), fibre.fibre},
                                  {QStringLiteral("result"), stateName(fibre.state)},
                                  {QStringLiteral("wavelengths"), wavelengths}});
    }
    const QJsonObject document{{QStringLiteral("job"), record.fileName},
                               {QStringLiteral("cable"), record.job.cable},
                               {QStringLiteral("bidirectional"), record.job.bidirectional},
                               {QStringLiteral("fibres"), fibres},
                               {QStringLiteral("passed"), record.status.passed},
                               {QStringLiteral("failed"), record.status.failed},
                               {QStringLiteral("untested"), record.status.untested},
                               {QStringLiteral("worst_margin"), worstJson(record.status)}};
    return QJsonDocument(document).toJson(QJsonDocument::Compact) + '\n';
}

QString testedLine(const QVector<StoredResult> &results)
{
    if (results.isEmpty())
        return QString();
    QString line = QStringLiteral("fibre %1  %2").arg(results.first().fibre).arg(directionName(results.first().direction));
    for (const StoredResult &result : results)
        line += QStringLiteral("  %1 %2 dB %3")
                    .arg(nanometres(result.wavelengthNm), lossText(result.loss, result.limit),
                         result.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"));
    return line;
}

QString averageLine(const FibreStatus &fibre)
{
    QString line = QStringLiteral("fibre %1  average").arg(fibre.fibre);
    bool both = false;
    for (const WavelengthStatus &wavelength : fibre.wavelengths) {
        if (!wavelength.loss)
            continue;
        both = both || (wavelength.aToB && wavelength.bToA);
        line += QStringLiteral("  %1 %2 dB %3")
                    .arg(nanometres(wavelength.wavelengthNm), lossText(*wavelength.loss, wavelength.limit),
                         withinLimit(*wavelength.loss, wavelength.limit) ? QStringLiteral("PASS")
                                                                         : QStringLiteral("FAIL"));
    }
    return both ? line + QStringLiteral(": fibre %1 %2").arg(fibre.fibre).arg(stateName(fibre.state)) : QString();
}

bool writeCableReport(const QString &fileName, const CableRecord &record, QString *error)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("pdf"))
        return reportPdf(fileName, record, error);
    if (suffix == QLatin1String("json"))
        return report::saveFile(fileName, reportJson(record), error);
    if (suffix == QLatin1String("csv"))
        return report::saveFile(fileName, reportCsv(record), error);
    return report::saveFile(fileName, reportHtml(record).toUtf8(), error);
}

QByteArray exportCsv(const CableRecord &record)
{
    const JobStatus &status = record.status;
    QSet<qint64> counted;
    for (const FibreStatus &fibre : status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths)
            for (const std::optional<StoredResult> *result : {&wavelength.aToB, &wavelength.bToA})
                if (*result)
                    counted.insert((*result)->id);
    QString text = csvLine({QStringLiteral("id"), QStringLiteral("fibre"), QStringLiteral("direction"),
                            QStringLiteral("wavelength_nm"), QStringLiteral("reading_dBm"),
                            QStringLiteral("std_dev_dB"), QStringLiteral("readings"), QStringLiteral("loss_dB"),
                            QStringLiteral("limit_dB"), QStringLiteral("margin_dB"), QStringLiteral("verdict"),
                            QStringLiteral("time"), QStringLiteral("reference_id"), QStringLiteral("reference_time"),
                            QStringLiteral("port"), QStringLiteral("tool"), QStringLiteral("counts")});
    const auto number = [](double hundredths) { return QString::number(decibels(hundredths), 'f', 3); };
    for (const StoredResult &result : record.results) {
        const StoredReference *reference = record.reference(result.referenceId);
        text += csvLine({QString::number(result.id), QString::number(result.fibre), directionName(result.direction),
                         QString::number(result.wavelengthNm), number(result.reading), number(result.deviation),
                         QString::number(result.count), number(result.loss), number(result.limit),
                         number(result.margin()), result.pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"),
                         timeText(result.time), QString::number(result.referenceId),
                         reference ? timeText(reference->taken) : QString(), result.port, result.tool,
                         counted.contains(result.id) ? QStringLiteral("yes") : QStringLiteral("no")});
    }
    return text.toUtf8();
}

QByteArray exportJson(const CableRecord &record)
{
    QSet<qint64> counted;
    for (const FibreStatus &fibre : record.status.fibres)
        for (const WavelengthStatus &wavelength : fibre.wavelengths)
            for (const std::optional<StoredResult> *result : {&wavelength.aToB, &wavelength.bToA})
                if (*result)
                    counted.insert((*result)->id);
    QJsonArray references;
    for (const StoredReference &reference : record.references)
        references.append(referenceJson(reference));
    QJsonArray results;
    for (const StoredResult &result : record.results)
        results.append(QJsonObject{{QStringLiteral("id"), result.id},
                                   {QStringLiteral("fibre"), result.fibre},
                                   {QStringLiteral("direction"), directionName(result.direction)},
                                   {QStringLiteral("wavelength_nm"), result.wavelengthNm},
                                   {QStringLiteral("reading_dBm"), decibels(result.reading)},
                                   {QStringLiteral("std_dev_dB"), decibels(result.deviation)},
                                   {QStringLiteral("readings"), result.count},
                                   {QStringLiteral("loss_dB"), decibels(result.loss)},
                                   {QStringLiteral("limit_dB"), decibels(result.limit)},
                                   {QStringLiteral("margin_dB"), decibels(result.margin())},
                                   {QStringLiteral("verdict"), result.pass ? QStringLiteral("PASS")
                                                                           : QStringLiteral("FAIL")},
                                   {QStringLiteral("time"), timeText(result.time)},
                                   {QStringLiteral("reference_id"), result.referenceId},
                                   {QStringLiteral("port"), result.port},
                                   {QStringLiteral("tool"), result.tool},
                                   {QStringLiteral("counts"), counted.contains(result.id)}});
    const QJsonObject document{{QStringLiteral("job"), jobJson(record)},
                               {QStringLiteral("references"), references},
                               {QStringLiteral("results"), results}};
    return QJsonDocument(document).toJson();
}

QString ageText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(std::max<qint64>(0, seconds));
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return minutes % 60 ? QStringLiteral("%1 h %2 min").arg(hours).arg(minutes % 60) : QStringLiteral("%1 h").arg(hours);
    return hours % 24 ? QStringLiteral("%1 d %2 h").arg(hours / 24).arg(hours % 24) : QStringLiteral("%1 d").arg(hours / 24);
}

} // namespace job
