// SPDX-License-Identifier: MIT
// The meter the server's clients share, against the simulated meter: the
// order of their requests, readings shared only by requests that came before
// the 0x82 went out, clients that go. Each reply of the simulator reads one
// hundredth lower than the one before, so a reading tells which 0x82 it
// answered.

#include "scpi/errors.h"
#include "scpi/sharedmeter.h"
#include "sim/metersimulator.h"
#include "support/waiting.h"

#include <QtTest>

#include <map>
#include <memory>

using namespace scpi;

class SharedMeterTest : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void unpluggedAnswersAtOnce();
};

// script: steps separated by ';':
//   "a measure", "b set 1550", "c wavelength?", "a list", "a continuous on|off"
//   "drop a"     the client goes
//   "sent N"     wait until the simulator has received N commands 0x82 in all
//   (every client's requests are then waited for to end)
// results: per client, what each request ended in, in order:
//   "-1500" a reading in hundredths, "1550" a wavelength, "850,1310" a list, "E-222" an error
void SharedMeterTest::requests_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("results"); // "a: -1001 -1002", one per client that asked
    QTest::addColumn<QByteArray>("commands"); // what the simulator received, 7a/7b/82 as letters q/n/m

    QTest::newRow("one reading") << "a measure" << QStringList{"a: -1001"} << QByteArray("m");
    QTest::newRow("asked together: one 0x82 for both")
        << "a measure; b measure; c measure" << QStringList{"a: -1001", "b: -1001", "c: -1001"} << QByteArray("m");
    QTest::newRow("asked while one is on the line: the next 0x82")
        << "a measure; sent 1; b measure" << QStringList{"a: -1001", "b: -1002"} << QByteArray("mm");
    QTest::newRow("continuous readings in flight are not taken for a new one")
        << "a continuous on; sent 1; b measure; a continuous off"
        << QStringList{"b: -1002"} << QByteArray("mm");
    QTest::newRow("arrival order: a step between two readings")
        << "a measure; b set 1310; c measure"
        << QStringList{"a: -1001", "b: 1310", "c: -1002"} << QByteArray("mqnnm");
    QTest::newRow("a wavelength offered nowhere, once the list is known")
        << "a list; b set 1600" << QStringList{"a: 850,1300,1310", "b: E-222"} << QByteArray("qnnn");
    QTest::newRow("the wavelength, asked once a second at most")
        << "a wavelength?; b wavelength?" << QStringList{"a: 850", "b: 850"} << QByteArray("q");
    QTest::newRow("gone mid-reading: the next client is answered")
        << "a measure; sent 1; drop a; b measure" << QStringList{"b: -1002"} << QByteArray("mm");
    QTest::newRow("gone before its turn: nothing is asked for it")
        << "a measure; b set 1310; drop b; c measure" << QStringList{"a: -1001", "c: -1001"} << QByteArray("m");
}

void SharedMeterTest::requests()
{
    QFETCH(QString, script);

    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    sim.setWavelengths({850, 1300, 1310});
    sim.setNoise(0);
    sim.setReplyDelay(10); // a reading is on the line long enough to ask during it
    double level = -10.01;
    sim.setPowerLevel(level);
    QByteArray commands;
    connect(&sim, &MeterSimulator::commandReceived, this, [&](quint8 command) {
        commands.append(command == 0x7A ? 'q' : command == 0x7B ? 'n' : command == 0x82 ? 'm' : '?');
    });
    connect(&sim, &MeterSimulator::answered, this, [&](quint8 command, const QByteArray &) {
        if (command == 0x82)
            sim.setPowerLevel(level -= 0.01);
    });

    SharedMeter meter(sim.portPath(), meter::Timing{10, 300});
    QVERIFY(!meter.open());
    std::map<QString, std::unique_ptr<Instrument>> clients;
    std::map<QString, QStringList> results;
    std::map<QString, int> pending; // requests not ended, by client
    const auto record = [&](const QString &name) {
        ++pending[name];
        return [&, name](const Outcome &outcome) {
            --pending[name];
            QString text;
            if (outcome.error)
                text = QStringLiteral("E%1").arg(outcome.error);
            else if (outcome.reading)
                text = QString::number(outcome.reading->hundredths);
            else if (!outcome.wavelengths.isEmpty())
                for (quint16 nm : outcome.wavelengths)
                    text += (text.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(nm);
            else
                text = QString::number(outcome.wavelengthNm);
            results[name] << text;
        };
    };
    for (const QString &step : script.split(QLatin1Char(';'))) {
        const QStringList words = step.trimmed().split(QLatin1Char(' '));
        const QString &name = words.at(1);
        if (words.at(0) == QLatin1String("sent")) {
            const int count = name.toInt();
            QVERIFY(testsupport::waitUntil([&] { return commands.count('m') >= count; }));
            continue;
        }
        if (words.at(0) == QLatin1String("drop")) {
            clients.erase(words.at(1));
            continue;
        }
        std::unique_ptr<Instrument> &client = clients[words.at(0)];
        if (!client)
            client = meter.connect();
        const QString &what = words.at(1);
        if (what == QLatin1String("measure"))
            client->start(Operation::Measure, 0, record(words.at(0)));
        else if (what == QLatin1String("wavelength?"))
            client->start(Operation::QueryWavelength, 0, record(words.at(0)));
        else if (what == QLatin1String("list"))
            client->start(Operation::ListWavelengths, 0, record(words.at(0)));
        else if (what == QLatin1String("set"))
            client->start(Operation::SetWavelength, quint16(words.at(2).toUInt()), record(words.at(0)));
        else if (what == QLatin1String("continuous"))
            client->setContinuous(words.at(2) == QLatin1String("on"));
        else
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
    }
    // Dropped clients' requests never end; the others' do.
    QVERIFY(testsupport::waitUntil([&] {
        for (const auto &entry : pending)
            if (clients.count(entry.first) && entry.second > 0)
                return false;
        return true;
    }));
    // Anything the meter would still be asked has gone out by a quiet line.
    QVERIFY(testsupport::waitUntil([&] { return !meter.isPresent() || sim.repliesSent() == commands.size(); }));

    QStringList got;
    for (const auto &entry : results)
        got << entry.first + QStringLiteral(": ") + entry.second.join(QLatin1Char(' '));
    QTEST(got, "results");
    QTEST(commands, "commands");
}

void SharedMeterTest::unpluggedAnswersAtOnce()
{
    MeterSimulator sim;
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    SharedMeter meter(sim.portPath(), meter::Timing{10, 300});
    QVERIFY(!meter.open());
    QSignalSpy unplugged(&meter, &SharedMeter::unplugged);
    std::unique_ptr<Instrument> client = meter.connect();
    int error = 0;
    client->start(Operation::Measure, 0, [&](const Outcome &outcome) { error = outcome.error ? outcome.error : 1; });
    QVERIFY(testsupport::waitUntil([&] { return error != 0; }));
    QCOMPARE(error, 1);
    sim.hangUp();
    QVERIFY(testsupport::waitUntil([&] { return unplugged.count() == 1; }));
    QCOMPARE(client->latest().error, int(hardwareMissing));
    error = 0;
    client->start(Operation::SetWavelength, 1550, [&](const Outcome &outcome) { error = outcome.error; });
    QCOMPARE(error, int(hardwareMissing)); // at once, without waiting for a meter that is not there
}

QTEST_GUILESS_MAIN(SharedMeterTest)
#include "tst_sharedmeter.moc"
