// SPDX-License-Identifier: MIT
// The SCPI conversation of one client, without a socket: lines in, response
// messages and the error queue out, over a fake meter that answers at once
// or when the row says so.

#include "scpi/interpreter.h"

#include <QtTest>

#include <memory>

using namespace scpi;

namespace {

// "reading=-1500 db at=1310 offers=850,1310 fail=-241 age=200 deferred"
class FakeMeter : public Instrument
{
public:
    explicit FakeMeter(const QString &setup)
    {
        for (const QString &token : setup.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString key = token.section(QLatin1Char('='), 0, 0);
            const QString value = token.section(QLatin1Char('='), 1);
            if (key == QLatin1String("reading"))
                reading.hundredths = value.toInt();
            else if (key == QLatin1String("db"))
                reading.decibel = true;
            else if (key == QLatin1String("at"))
                at = quint16(value.toInt());
            else if (key == QLatin1String("offers")) {
                offers.clear();
                for (const QString &nm : value.split(QLatin1Char(',')))
                    offers.append(quint16(nm.toInt()));
            } else if (key == QLatin1String("fail"))
                failure = value.toInt();
            else if (key == QLatin1String("age"))
                last = Reading{reading.hundredths, reading.decibel, value.toLongLong()};
            else if (key == QLatin1String("deferred"))
                deferred = true;
            else
                qFatal("unknown meter setting %s", qPrintable(token));
        }
    }

    void start(Operation operation, quint16 nanometres, Done done) override
    {
        static const char *const names[] = {"measure", "wavelength?", "set", "list"};
        QString name = QLatin1String(names[int(operation)]);
        if (operation == Operation::SetWavelength)
            name += QLatin1Char(' ') + QString::number(nanometres);
        log << name;
        const auto complete = [this, operation, nanometres, done] { done(outcome(operation, nanometres)); };
        if (deferred)
            pending.append(complete);
        else
            complete();
    }

    Outcome latest() const override
    {
        Outcome o;
        o.error = failure == hardwareMissing ? failure : 0;
        o.reading = last;
        return o;
    }

    void setContinuous(bool on) override { log << (on ? "continuous on" : "continuous off"); }

    bool completeNext()
    {
        if (pending.isEmpty())
            return false;
        pending.takeFirst()();
        return true;
    }

    QStringList log;

private:
    Outcome outcome(Operation operation, quint16 nanometres)
    {
        Outcome o;
        o.error = failure;
        if (failure)
            return o;
        switch (operation) {
        case Operation::Measure:
            o.reading = reading;
            last = reading;
            break;
        case Operation::QueryWavelength:
            o.wavelengthNm = at;
            break;
        case Operation::SetWavelength:
            if (offers.contains(nanometres))
                at = nanometres;
            else
                o.error = dataOutOfRange;
            break;
        case Operation::ListWavelengths:
            o.wavelengths = offers;
            break;
        }
        return o;
    }

    Reading reading{-1500, false, 0};
    std::optional<Reading> last;
    quint16 at = 1310;
    QVector<quint16> offers{850, 1300, 1310, 1550, 1625};
    int failure = 0;
    bool deferred = false;
    QVector<std::function<void()>> pending;
};

const QByteArray idn = "Zerak,OPM,0,1.0";

QVector<int> times(int count, int code)
{
    return QVector<int>(count, code);
}

} // namespace

class ScpiTest : public QObject
{
    Q_OBJECT

private slots:
    void conversation_data();
    void conversation();
    void clientGoneMidQueryDisturbsNothing();
};

// steps: bytes fed as they are, or "<done>" (the meter completes its oldest
// operation), "<stall>" (the client goes quiet), "<none>" (no response yet).
void ScpiTest::conversation_data()
{
    QTest::addColumn<QString>("meter");
    QTest::addColumn<QByteArrayList>("steps");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QVector<int>>("errors");
    QTest::addColumn<QStringList>("meterLog");

    const QByteArrayList none;
    const QVector<int> clean;
    const QStringList untouched;

    // Headers: forms, case, optional nodes, suffixes.
    QTest::newRow("identity") << "" << QByteArrayList{"*IDN?\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("lower case, CR LF") << "" << QByteArrayList{"*idn?\r\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("cut anywhere") << "" << QByteArrayList{"*I", "DN", "?\r", "\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("version, short") << "" << QByteArrayList{"SYST:VERS?\n"} << QByteArrayList{"1999.0\n"} << clean << untouched;
    QTest::newRow("version, long, mixed case") << "" << QByteArrayList{"SYSTem:versION?\n"} << QByteArrayList{"1999.0\n"} << clean << untouched;
    QTest::newRow("neither short nor long") << "" << QByteArrayList{"SYSTE:VERS?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("optional root") << "" << QByteArrayList{"POW:UNIT W;:POWER:UNIT?\n"} << QByteArrayList{"W\n"} << clean << untouched;
    QTest::newRow("suffix 1") << "" << QByteArrayList{"SENSE1:POWER:UNIT W;UNIT?\n"} << QByteArrayList{"W\n"} << clean << untouched;
    QTest::newRow("suffix 2") << "" << QByteArrayList{"SENS2:POW:UNIT?\n"} << none << QVector<int>{-114} << untouched;
    QTest::newRow("suffix 0") << "" << QByteArrayList{"MEAS0:POW?\n"} << none << QVector<int>{-114} << untouched;
    QTest::newRow("suffix of many digits") << "" << QByteArrayList{"SENS00000000001:POW:UNIT?;:SENS99999999999:POW:UNIT?\n"} << QByteArrayList{"DBM\n"} << QVector<int>{-114} << untouched;
    QTest::newRow("suffix where none is taken") << "" << QByteArrayList{"SYST2:VERS?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("partial long form") << "" << QByteArrayList{"SENS:POW:WAVE?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("a common header's name without its '*'") << "" << QByteArrayList{"*IDN?\n", "IDN?\n"} << QByteArrayList{idn + "\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("query only") << "" << QByteArrayList{"*IDN\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("command only") << "" << QByteArrayList{"*RST?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("unknown common") << "" << QByteArrayList{"*FOO?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("inner node alone") << "" << QByteArrayList{"SENS:POW?\n"} << none << QVector<int>{-113} << untouched;

    // Units on a line, the current path.
    QTest::newRow("two queries, one response") << "" << QByteArrayList{"*IDN?;*IDN?\n"} << QByteArrayList{idn + ";" + idn + "\n"} << clean << untouched;
    QTest::newRow("white space around units") << "" << QByteArrayList{"  *IDN? ;\tSYST:VERS? \n"} << QByteArrayList{idn + ";1999.0\n"} << clean << untouched;
    QTest::newRow("one ';' at the end") << "" << QByteArrayList{"*IDN?;\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("empty unit") << "" << QByteArrayList{"*IDN?;;*IDN?\n"} << QByteArrayList{idn + "\n"} << QVector<int>{-102} << untouched;
    QTest::newRow("path: sibling") << "" << QByteArrayList{"SENS:POW:UNIT W;UNIT?\n"} << QByteArrayList{"W\n"} << clean << untouched;
    QTest::newRow("path: a level down") << "" << QByteArrayList{"SENS:POW:UNIT W;REF:STAT 1;STAT?\n"} << QByteArrayList{"1\n"} << clean << untouched;
    QTest::newRow("path: not back up") << "" << QByteArrayList{"SENS:POW:REF:STAT 1;UNIT?\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("path: ':' is the root") << "" << QByteArrayList{"SENS:POW:REF:STAT 1;:SENS:POW:UNIT?\n"} << QByteArrayList{"DB\n"} << clean << untouched;
    QTest::newRow("path: optional node") << "" << QByteArrayList{"SYST:ERR?;VERS?\n"} << QByteArrayList{"0,\"No error\";1999.0\n"} << clean << untouched;
    QTest::newRow("path: common leaves it") << "" << QByteArrayList{"SYST:VERS?;*IDN?;VERS?\n"} << QByteArrayList{"1999.0;" + idn + ";1999.0\n"} << clean << untouched;
    QTest::newRow("path: a new line starts at the root") << "" << QByteArrayList{"SYST:VERS?\nVERS?\n"} << QByteArrayList{"1999.0\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("command error ends the line") << "" << QByteArrayList{"SENS:POW:UNIT W;FOO;SENS:POW:UNIT DBM\nSENS:POW:UNIT?\n"} << QByteArrayList{"W\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("answers before the error are sent") << "" << QByteArrayList{"*IDN?;FOO;*IDN?\n"} << QByteArrayList{idn + "\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("execution error only its unit") << "" << QByteArrayList{"SENS:POW:WAV 9999;*IDN?\n"} << QByteArrayList{idn + "\n"} << QVector<int>{-222} << untouched;
    QTest::newRow("empty lines ask nothing") << "" << QByteArrayList{"  \n\r\n\n"} << none << clean << untouched;

    // Syntax.
    QTest::newRow("comma after header") << "" << QByteArrayList{"SENS:POW:UNIT,W\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("double colon") << "" << QByteArrayList{"SENS::POW:UNIT?\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("colon at the end") << "" << QByteArrayList{"SENS:POW:\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("two data, no comma") << "" << QByteArrayList{"SENS:POW:UNIT W W\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("trailing comma") << "" << QByteArrayList{"SENS:POW:WAV 1550,\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("space inside a number") << "" << QByteArrayList{"SENS:POW:WAV 15 50\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("sign alone") << "" << QByteArrayList{"SENS:POW:WAV -\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("unterminated string") << "" << QByteArrayList{"SENS:POW:UNIT 'W\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("unclosed expression") << "" << QByteArrayList{"SENS:POW:UNIT (@1\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("query mark then text") << "" << QByteArrayList{"*IDN?x\n"} << none << QVector<int>{-102} << untouched;
    QTest::newRow("byte outside ASCII") << "" << QByteArrayList{"*IDN?\xC3\xA9\n"} << none << QVector<int>{-100} << untouched;
    QTest::newRow("tab separates header and data") << "" << QByteArrayList{"SENS:POW:UNIT\tW;UNIT?\n"} << QByteArrayList{"W\n"} << clean << untouched;

    // The error queue.
    QTest::newRow("error read, then none") << "" << QByteArrayList{"FOO\nSYST:ERR?\nSYST:ERR:NEXT?\n"}
                                 << QByteArrayList{"-113,\"Undefined header\"\n", "0,\"No error\"\n"} << clean << untouched;
    QTest::newRow("first in, first out") << "" << QByteArrayList{"FOO\n*IDN? 1\nSYST:ERR?\n"}
                               << QByteArrayList{"-113,\"Undefined header\"\n"} << QVector<int>{-108} << untouched;
    QTest::newRow("count") << "" << QByteArrayList{"FOO\nBAR\nSYST:ERR:COUN?\n"} << QByteArrayList{"2\n"} << QVector<int>{-113, -113} << untouched;
    QTest::newRow("all at once") << "" << QByteArrayList{"FOO\n*IDN? 1\nSYST:ERR:ALL?\n"}
                       << QByteArrayList{"-113,\"Undefined header\",-108,\"Parameter not allowed\"\n"} << clean << untouched;
    QTest::newRow("all of none") << "" << QByteArrayList{"SYST:ERR:ALL?\n"} << QByteArrayList{"0,\"No error\"\n"} << clean << untouched;
    QTest::newRow("twenty fit") << "" << QByteArrayList{QByteArray("FOO\n").repeated(20)} << none << times(20, -113) << untouched;
    QTest::newRow("overflow: the last becomes -350")
        << "" << QByteArrayList{QByteArray("FOO\n").repeated(25)} << none << times(19, -113) + QVector<int>{-350} << untouched;
    QTest::newRow("overflow, one read: room for one more")
        << "" << QByteArrayList{QByteArray("FOO\n").repeated(21) + "SYST:ERR?\n*IDN? 1\n"}
        << QByteArrayList{"-113,\"Undefined header\"\n"} << times(18, -113) + QVector<int>{-350, -108} << untouched;
    QTest::newRow("*CLS empties it") << "" << QByteArrayList{QByteArray("FOO\n").repeated(25) + "*CLS\n"} << none << clean << untouched;

    // Status bytes.
    QTest::newRow("ESR clean") << "" << QByteArrayList{"*ESR?\n"} << QByteArrayList{"0\n"} << clean << untouched;
    QTest::newRow("ESR: command error, read clears") << "" << QByteArrayList{"FOO\n*ESR?\n*ESR?\n"} << QByteArrayList{"32\n", "0\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("ESR: execution error") << "" << QByteArrayList{"SENS:POW:WAV 9999\n*ESR?\n"} << QByteArrayList{"16\n"} << QVector<int>{-222} << untouched;
    QTest::newRow("ESR: device error") << "" << QByteArrayList{QByteArray(5000, 'A') + "\n*ESR?\n"} << QByteArrayList{"8\n"} << QVector<int>{-363} << untouched;
    QTest::newRow("*OPC sets OPC") << "" << QByteArrayList{"*OPC;*ESR?\n"} << QByteArrayList{"1\n"} << clean << untouched;
    QTest::newRow("*OPC?") << "" << QByteArrayList{"*OPC?\n"} << QByteArrayList{"1\n"} << clean << untouched;
    QTest::newRow("*WAI") << "" << QByteArrayList{"*WAI;*OPC?\n"} << QByteArrayList{"1\n"} << clean << untouched;
    QTest::newRow("*ESE") << "" << QByteArrayList{"*ESE 32;*ESE?\n"} << QByteArrayList{"32\n"} << clean << untouched;
    QTest::newRow("*ESE rounds") << "" << QByteArrayList{"*ESE 31.6;*ESE?\n"} << QByteArrayList{"32\n"} << clean << untouched;
    QTest::newRow("*ESE too large") << "" << QByteArrayList{"*ESE 256;*ESE?\n"} << QByteArrayList{"0\n"} << QVector<int>{-222} << untouched;
    QTest::newRow("*ESE negative") << "" << QByteArrayList{"*ESE -1\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("*ESE of 400 digits") << "" << QByteArrayList{"*ESE " + QByteArray(400, '9') + "\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("*ESE of a word") << "" << QByteArrayList{"*ESE ON\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("*ESE with a suffix") << "" << QByteArrayList{"*ESE 4NM\n"} << none << QVector<int>{-138} << untouched;
    QTest::newRow("*ESE of nothing") << "" << QByteArrayList{"*ESE\n"} << none << QVector<int>{-109} << untouched;
    QTest::newRow("STB clean") << "" << QByteArrayList{"*STB?\n"} << QByteArrayList{"0\n"} << clean << untouched;
    QTest::newRow("STB: error available") << "" << QByteArrayList{"FOO\n*STB?\n"} << QByteArrayList{"4\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("STB: event summary") << "" << QByteArrayList{"*ESE 32\nFOO\n*STB?\n"} << QByteArrayList{"36\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("STB: master summary") << "" << QByteArrayList{"*ESE 32;*SRE 32\nFOO\n*STB?\n"} << QByteArrayList{"100\n"} << QVector<int>{-113} << untouched;
    QTest::newRow("STB: message available") << "" << QByteArrayList{"*IDN?;*STB?\n"} << QByteArrayList{idn + ";16\n"} << clean << untouched;
    QTest::newRow("SRE ignores bit 6") << "" << QByteArrayList{"*SRE 255;*SRE?\n"} << QByteArrayList{"191\n"} << clean << untouched;
    QTest::newRow("*CLS clears ESR and queue; MAV") << "" << QByteArrayList{"FOO\n*CLS;*ESR?;*STB?\n"} << QByteArrayList{"0;16\n"} << clean << untouched;
    QTest::newRow("*RST: this client's settings") << "" << QByteArrayList{"SENS:POW:UNIT W;REF -3;REF:STAT 1\n*RST\nSENS:POW:UNIT?;REF?;REF:STAT?\n"}
                                        << QByteArrayList{"DBM;+0.00000000E+00;0\n"} << clean << untouched;
    QTest::newRow("*RST keeps the masks") << "" << QByteArrayList{"*ESE 4\n*RST\n*ESE?\n"} << QByteArrayList{"4\n"} << clean << untouched;

    // Wavelength.
    QTest::newRow("set, bare nm") << "" << QByteArrayList{"SENS:POW:WAV 1550\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, NM") << "" << QByteArrayList{"SENS:POW:WAV 1550NM\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, um lower case") << "" << QByteArrayList{"sens:pow:wav 1.55um\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, metres") << "" << QByteArrayList{"SENS:POW:WAV 1.55E-6M\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, spaced exponent and suffix") << "" << QByteArrayList{"SENS:POW:WAV 1.55 E -6 M\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, NR3") << "" << QByteArrayList{"SENS:POW:WAV +1.3100E+03\n"} << none << clean << QStringList{"set 1310"};
    QTest::newRow("set, rounded") << "" << QByteArrayList{"SENS:POW:WAV 1549.6\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, point only") << "" << QByteArrayList{"SENS:POW:WAV .155E4\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, trailing point") << "" << QByteArrayList{"SENS:POW:WAV 1550.\n"} << none << clean << QStringList{"set 1550"};
    QTest::newRow("set, then asked") << "" << QByteArrayList{"SENS:POW:WAV 1550;WAV?\n"} << QByteArrayList{"+1.55000000E-06\n"} << clean
                           << QStringList{"set 1550", "wavelength?"};
    QTest::newRow("set MAX") << "" << QByteArrayList{"SENS:POW:WAV MAX\n"} << none << clean << QStringList{"list", "set 1625"};
    QTest::newRow("set minimum") << "" << QByteArrayList{"SENS:POW:WAV minimum\n"} << none << clean << QStringList{"list", "set 850"};
    QTest::newRow("not offered") << "" << QByteArrayList{"SENS:POW:WAV 1600\n"} << none << QVector<int>{-222} << QStringList{"set 1600"};
    QTest::newRow("no meter's") << "" << QByteArrayList{"SENS:POW:WAV 300\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("millimetres") << "" << QByteArrayList{"SENS:POW:WAV 1.55MM\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("huge") << "" << QByteArrayList{"SENS:POW:WAV 1E999\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("wrong suffix") << "" << QByteArrayList{"SENS:POW:WAV 1550DBM\n"} << none << QVector<int>{-131} << untouched;
    QTest::newRow("multiplier alone") << "" << QByteArrayList{"SENS:POW:WAV 1550N\n"} << none << QVector<int>{-131} << untouched;
    QTest::newRow("missing") << "" << QByteArrayList{"SENS:POW:WAV\n"} << none << QVector<int>{-109} << untouched;
    QTest::newRow("two") << "" << QByteArrayList{"SENS:POW:WAV 1550,1310\n"} << none << QVector<int>{-108} << untouched;
    QTest::newRow("a word") << "" << QByteArrayList{"SENS:POW:WAV ON\n"} << none << QVector<int>{-224} << untouched;
    QTest::newRow("a string") << "" << QByteArrayList{"SENS:POW:WAV \"1550\"\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("non-decimal") << "" << QByteArrayList{"SENS:POW:WAV #H60E\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("asked: metres") << "" << QByteArrayList{"SENS:POW:WAV?\n"} << QByteArrayList{"+1.31000000E-06\n"} << clean << QStringList{"wavelength?"};
    QTest::newRow("asked: nm") << "" << QByteArrayList{"SENS:POW:WAV? NM\n"} << QByteArrayList{"+1.31000000E+03\n"} << clean << QStringList{"wavelength?"};
    QTest::newRow("asked: M") << "" << QByteArrayList{"SENS:POW:WAV? m\n"} << QByteArrayList{"+1.31000000E-06\n"} << clean << QStringList{"wavelength?"};
    QTest::newRow("asked: MAX in nm") << "" << QByteArrayList{"SENS:POW:WAV? MAX,NM\n"} << QByteArrayList{"+1.62500000E+03\n"} << clean << QStringList{"list"};
    QTest::newRow("asked: MIN") << "" << QByteArrayList{"SENS:POW:WAV? MIN\n"} << QByteArrayList{"+8.50000000E-07\n"} << clean << QStringList{"list"};
    QTest::newRow("asked: NM twice") << "" << QByteArrayList{"SENS:POW:WAV? NM,NM\n"} << none << QVector<int>{-108} << untouched;
    QTest::newRow("asked: KM") << "" << QByteArrayList{"SENS:POW:WAV? KM\n"} << none << QVector<int>{-224} << untouched;
    QTest::newRow("asked: a number") << "" << QByteArrayList{"SENS:POW:WAV? 5\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("list") << "" << QByteArrayList{"SENS:POW:WAV:LIST?\n"}
                << QByteArrayList{"+8.50000000E-07,+1.30000000E-06,+1.31000000E-06,+1.55000000E-06,+1.62500000E-06\n"} << clean
                << QStringList{"list"};
    QTest::newRow("list in nm") << "offers=1310,1550" << QByteArrayList{"POW:WAV:LIST? NM\n"}
                      << QByteArrayList{"+1.31000000E+03,+1.55000000E+03\n"} << clean << QStringList{"list"};

    // Readings, units, reference.
    QTest::newRow("measure") << "" << QByteArrayList{"MEAS:POW?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("read") << "" << QByteArrayList{"READ:POW?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("measure, suffix 1") << "" << QByteArrayList{"MEASURE1:POWER?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("measure with a parameter") << "" << QByteArrayList{"MEAS:POW? 5\n"} << none << QVector<int>{-108} << untouched;
    QTest::newRow("measure without '?'") << "" << QByteArrayList{"MEAS:POW\n"} << none << QVector<int>{-113} << untouched;
    QTest::newRow("zero has no sign") << "reading=0" << QByteArrayList{"MEAS:POW?\n"} << QByteArrayList{"+0.00000000E+00\n"} << clean << QStringList{"measure"};
    QTest::newRow("positive") << "reading=307" << QByteArrayList{"MEAS:POW?\n"} << QByteArrayList{"+3.07000000E+00\n"} << clean << QStringList{"measure"};
    QTest::newRow("in W") << "" << QByteArrayList{"SENS:POW:UNIT W;:MEAS:POW?\n"} << QByteArrayList{"+3.16227766E-05\n"} << clean << QStringList{"measure"};
    QTest::newRow("in W, 0 dBm") << "reading=0" << QByteArrayList{"SENS:POW:UNIT WATT;:MEAS:POW?\n"} << QByteArrayList{"+1.00000000E-03\n"} << clean << QStringList{"measure"};
    QTest::newRow("unit asked") << "" << QByteArrayList{"SENS:POW:UNIT?\n"} << QByteArrayList{"DBM\n"} << clean << untouched;
    QTest::newRow("unit DB refused") << "" << QByteArrayList{"SENS:POW:UNIT DB\n"} << none << QVector<int>{-224} << untouched;
    QTest::newRow("unit of a number") << "" << QByteArrayList{"SENS:POW:UNIT 1\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("unit of a string") << "" << QByteArrayList{"SENS:POW:UNIT \"W\"\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("unit of an expression") << "" << QByteArrayList{"SENS:POW:UNIT (@1)\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("meter's dB as it is, unit DB") << "reading=307 db" << QByteArrayList{"SENS:POW:UNIT W;:MEAS:POW?;:SENS:POW:UNIT?\n"}
                                        << QByteArrayList{"+3.07000000E+00;DB\n"} << clean << QStringList{"measure"};
    QTest::newRow("relative") << "" << QByteArrayList{"SENS:POW:REF -10;REF:STAT ON;:MEAS:POW?\n"} << QByteArrayList{"-5.00000000E+00\n"} << clean
                    << QStringList{"measure"};
    QTest::newRow("relative in W is dB") << "" << QByteArrayList{"SENS:POW:UNIT W;REF -10;REF:STAT ON;:SENS:POW:UNIT?;:MEAS:POW?\n"}
                               << QByteArrayList{"DB;-5.00000000E+00\n"} << clean << QStringList{"measure"};
    QTest::newRow("relative off again") << "" << QByteArrayList{"SENS:POW:REF -10;REF:STAT 1;STAT OFF;:MEAS:POW?\n"}
                              << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("reference in dBm") << "" << QByteArrayList{"SENS:POW:REF -10DBM;REF?\n"} << QByteArrayList{"-1.00000000E+01\n"} << clean << untouched;
    QTest::newRow("reference in mW") << "" << QByteArrayList{"SENS:POW:REF 1MW;REF?\n"} << QByteArrayList{"+0.00000000E+00\n"} << clean << untouched;
    QTest::newRow("reference in uW") << "" << QByteArrayList{"SENS:POW:REF 10 UW;REF?\n"} << QByteArrayList{"-2.00000000E+01\n"} << clean << untouched;
    QTest::newRow("reference of no power") << "" << QByteArrayList{"SENS:POW:REF 0W\n"} << none << QVector<int>{-220} << untouched;
    QTest::newRow("reference too high") << "" << QByteArrayList{"SENS:POW:REF 500\n"} << none << QVector<int>{-222} << untouched;
    QTest::newRow("reference in dB") << "" << QByteArrayList{"SENS:POW:REF 3DB\n"} << none << QVector<int>{-131} << untouched;
    QTest::newRow("reference missing") << "" << QByteArrayList{"SENS:POW:REF\n"} << none << QVector<int>{-109} << untouched;
    QTest::newRow("reference of a word") << "" << QByteArrayList{"SENS:POW:REF MAX\n"} << none << QVector<int>{-104} << untouched;
    QTest::newRow("reference from a reading") << "" << QByteArrayList{"SENS:POW:REF:DISP;:SENS:POW:REF?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean
                                    << QStringList{"measure"};
    QTest::newRow("reference from a dB reading") << "reading=307 db" << QByteArrayList{"SENS:POW:REF:DISP;:SENS:POW:REF?\n"} << QByteArrayList{"+0.00000000E+00\n"}
                                       << QVector<int>{-221} << QStringList{"measure"};
    QTest::newRow("relative to a dB reading") << "reading=307 db" << QByteArrayList{"SENS:POW:REF:STAT 1;:MEAS:POW?\n"} << none
                                    << QVector<int>{-221} << QStringList{"measure"};
    QTest::newRow("state 2 is on") << "" << QByteArrayList{"SENS:POW:REF:STAT 2;STAT?\n"} << QByteArrayList{"1\n"} << clean << untouched;
    QTest::newRow("state 0.4 is off") << "" << QByteArrayList{"SENS:POW:REF:STAT 1;STAT 0.4;STAT?\n"} << QByteArrayList{"0\n"} << clean << untouched;
    QTest::newRow("state of a word") << "" << QByteArrayList{"SENS:POW:REF:STAT FOO\n"} << none << QVector<int>{-224} << untouched;
    QTest::newRow("state with a suffix") << "" << QByteArrayList{"SENS:POW:REF:STAT 1V\n"} << none << QVector<int>{-138} << untouched;

    // Fetch, initiate, the meter failing.
    QTest::newRow("fetch of nothing") << "" << QByteArrayList{"FETC:POW?\n"} << none << QVector<int>{-230} << untouched;
    QTest::newRow("fetch, fresh") << "age=200" << QByteArrayList{"FETC:POW?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean << untouched;
    QTest::newRow("fetch, a second old") << "age=1000" << QByteArrayList{"FETC:POW?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean << untouched;
    QTest::newRow("fetch, stale") << "age=1001" << QByteArrayList{"FETC:POW?\n"} << none << QVector<int>{-230} << untouched;
    QTest::newRow("fetch after measure") << "" << QByteArrayList{"MEAS:POW?;:FETC:POW?\n"} << QByteArrayList{"-1.50000000E+01;-1.50000000E+01\n"}
                               << clean << QStringList{"measure"};
    QTest::newRow("initiate, then fetch") << "" << QByteArrayList{"INIT;:FETC:POW?\n"} << QByteArrayList{"-1.50000000E+01\n"} << clean
                                << QStringList{"measure"};
    QTest::newRow("initiate immediate") << "" << QByteArrayList{"INIT:IMM\n"} << none << clean << QStringList{"measure"};
    QTest::newRow("continuous") << "" << QByteArrayList{"INIT:CONT ON;CONT?\n"} << QByteArrayList{"1\n"} << clean << QStringList{"continuous on"};
    QTest::newRow("continuous, once") << "" << QByteArrayList{"INIT:CONT 1;CONT ON\n"} << none << clean << QStringList{"continuous on"};
    QTest::newRow("continuous ends with *RST") << "" << QByteArrayList{"INIT:CONT ON\n*RST\nINIT:CONT?\n"} << QByteArrayList{"0\n"} << clean
                                     << QStringList{"continuous on", "continuous off"};
    QTest::newRow("unplugged: measure") << "fail=-241" << QByteArrayList{"MEAS:POW?\n"} << none << QVector<int>{-241} << QStringList{"measure"};
    QTest::newRow("unplugged: fetch") << "fail=-241 age=10" << QByteArrayList{"FETC:POW?\n"} << none << QVector<int>{-241} << untouched;
    QTest::newRow("unplugged: set") << "fail=-241" << QByteArrayList{"SENS:POW:WAV 1550\n"} << none << QVector<int>{-241} << QStringList{"set 1550"};
    QTest::newRow("unplugged: list") << "fail=-241" << QByteArrayList{"SENS:POW:WAV MAX\n"} << none << QVector<int>{-241} << QStringList{"list"};
    QTest::newRow("unplugged: self-test") << "fail=-241" << QByteArrayList{"*TST?\n"} << QByteArrayList{"1\n"} << QVector<int>{-241}
                                << QStringList{"wavelength?"};
    QTest::newRow("self-test") << "" << QByteArrayList{"*TST?\n"} << QByteArrayList{"0\n"} << clean << QStringList{"wavelength?"};
    QTest::newRow("no answer, the rest runs") << "fail=-240" << QByteArrayList{"MEAS:POW?;*IDN?\n"} << QByteArrayList{idn + "\n"}
                                    << QVector<int>{-240} << QStringList{"measure"};
    QTest::newRow("an unknown failure is a hardware error") << "fail=-999" << QByteArrayList{"MEAS:POW?\n"} << none << QVector<int>{-240}
                                                  << QStringList{"measure"};

    // The input's limits.
    const QByteArray longest = "*IDN?" + QByteArray(Interpreter::maxLineBytes - 5, ' ');
    QTest::newRow("4096 bytes") << "" << QByteArrayList{longest + "\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("4096 bytes and CR LF") << "" << QByteArrayList{longest + "\r\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
    QTest::newRow("4097 bytes") << "" << QByteArrayList{longest + " \n*IDN?\n"} << QByteArrayList{idn + "\n"} << QVector<int>{-363} << untouched;
    QTest::newRow("4097 bytes and CR") << "" << QByteArrayList{longest + " \r\n"} << none << QVector<int>{-363} << untouched;
    QTest::newRow("a long line in pieces") << "" << QByteArrayList{QByteArray(3000, 'A'), QByteArray(3000, 'B'), QByteArray(3000, 'C'), "\n*IDN?\n"}
                                 << QByteArrayList{idn + "\n"} << QVector<int>{-363} << untouched;
    QTest::newRow("a long line's end is not a command") << "" << QByteArrayList{QByteArray(4100, ' ') + "*RST\nSENS:POW:UNIT?\n"}
                                              << QByteArrayList{"DBM\n"} << QVector<int>{-363} << untouched;

    // A meter that takes its time: lines wait, in order.
    QTest::newRow("reply when the meter answers") << "deferred" << QByteArrayList{"MEAS:POW?\n", "<none>", "<done>"}
                                        << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("units after it wait") << "deferred" << QByteArrayList{"MEAS:POW?;*IDN?\n", "<none>", "<done>"}
                               << QByteArrayList{"-1.50000000E+01;" + idn + "\n"} << clean << QStringList{"measure"};
    QTest::newRow("lines after a command wait") << "deferred" << QByteArrayList{"SENS:POW:WAV 1550\n", "*IDN?\n", "<none>", "<done>", "SENS:POW:WAV?\n", "<done>"}
                                      << QByteArrayList{idn + "\n", "+1.55000000E-06\n"} << clean << QStringList{"set 1550", "wavelength?"};
    QTest::newRow("max: two operations") << "deferred" << QByteArrayList{"SENS:POW:WAV MAX;WAV? NM\n", "<done>", "<done>", "<none>", "<done>"}
                               << QByteArrayList{"+1.62500000E+03\n"} << clean << QStringList{"list", "set 1625", "wavelength?"};
    QTest::newRow("interrupted") << "deferred" << QByteArrayList{"MEAS:POW?\n", "*IDN?\n", "<done>"} << QByteArrayList{idn + "\n"}
                       << QVector<int>{-410} << QStringList{"measure"};
    QTest::newRow("interrupted, one delivery") << "deferred" << QByteArrayList{"MEAS:POW?\n*IDN?\n", "<done>"} << QByteArrayList{idn + "\n"}
                                     << QVector<int>{-410} << QStringList{"measure"};
    QTest::newRow("interrupted: sets QYE") << "deferred" << QByteArrayList{"MEAS:POW?\n", "*ESR?\n", "<done>"} << QByteArrayList{"4\n"}
                                 << QVector<int>{-410} << QStringList{"measure"};
    QTest::newRow("interrupted: its other queries take nothing")
        << "deferred" << QByteArrayList{"FOO\nMEAS:POW?;:SYST:ERR?\n", "*IDN?\n", "<done>"} << QByteArrayList{idn + "\n"}
        << QVector<int>{-113, -410} << QStringList{"measure"};
    QTest::newRow("interrupted: its commands still run")
        << "deferred" << QByteArrayList{"MEAS:POW?;:SENS:POW:UNIT W\n", "SENS:POW:UNIT?\n", "<done>"} << QByteArrayList{"W\n"}
        << QVector<int>{-410} << QStringList{"measure"};
    QTest::newRow("interrupted twice") << "deferred" << QByteArrayList{"MEAS:POW?\nMEAS:POW?\nMEAS:POW?\n", "<done>", "<done>", "<done>"}
                             << QByteArrayList{"-1.50000000E+01\n"} << QVector<int>{-410, -410}
                             << QStringList{"measure", "measure", "measure"};
    QTest::newRow("not interrupted by an empty line") << "deferred" << QByteArrayList{"MEAS:POW?\n", "\r\n", "<done>"}
                                            << QByteArrayList{"-1.50000000E+01\n"} << clean << QStringList{"measure"};
    QTest::newRow("unterminated query") << "" << QByteArrayList{"MEAS:POW?", "<stall>", "\nSYST:ERR?\n"}
                              << QByteArrayList{"-420,\"Query UNTERMINATED\"\n"} << clean << untouched;
    QTest::newRow("unterminated query: QYE") << "" << QByteArrayList{"*IDN?", "<stall>", "\n*ESR?\n"} << QByteArrayList{"4\n"}
                                   << QVector<int>{-420} << untouched;
    QTest::newRow("unterminated command waits") << "" << QByteArrayList{"SENS:POW:UNIT W", "<stall>", "\nSENS:POW:UNIT?\n"}
                                      << QByteArrayList{"W\n"} << clean << untouched;
    QTest::newRow("a stall with nothing sent") << "" << QByteArrayList{"<stall>", "*IDN?\n"} << QByteArrayList{idn + "\n"} << clean << untouched;
}

void ScpiTest::conversation()
{
    QFETCH(QString, meter);
    QFETCH(QByteArrayList, steps);

    FakeMeter fake(meter);
    Interpreter interpreter(fake, "1.0");
    QByteArrayList replies;
    connect(&interpreter, &Interpreter::response, this, [&replies](const QByteArray &message) { replies << message; });
    for (const QByteArray &step : steps) {
        if (step == "<done>")
            QVERIFY2(fake.completeNext(), "no operation was waiting for the meter");
        else if (step == "<stall>")
            interpreter.inputStalled();
        else if (step == "<none>")
            QCOMPARE(replies, QByteArrayList());
        else
            interpreter.feed(step);
    }
    QTEST(replies, "replies");
    QTEST(interpreter.errorQueue().codes(), "errors");
    QTEST(fake.log, "meterLog");
    QVERIFY(!fake.completeNext());
    QVERIFY(!interpreter.isWaiting());
}

// The meter answers after the client has gone: nothing is touched.
void ScpiTest::clientGoneMidQueryDisturbsNothing()
{
    FakeMeter fake(QStringLiteral("deferred"));
    auto interpreter = std::make_unique<Interpreter>(fake, "1.0");
    interpreter->feed("MEAS:POW?\n");
    QVERIFY(interpreter->isWaiting());
    interpreter.reset();
    QVERIFY(fake.completeNext());
    QCOMPARE(fake.log, QStringList{"measure"});
}

QTEST_GUILESS_MAIN(ScpiTest)
#include "tst_scpi.moc"
