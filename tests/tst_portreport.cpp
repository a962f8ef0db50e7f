// SPDX-License-Identifier: MIT
#include "port/portreport.h"
#include "port/reportview.h"

#include <QFont>
#include <QScrollBar>
#include <QSerialPortInfo>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFragment>
#include <QTextFrame>
#include <QtTest>

Q_DECLARE_METATYPE(PortDetails)

namespace {

PortDetails ftdiAdapter()
{
    PortDetails d;
    d.portName = QStringLiteral("ttyUSB0");
    d.systemLocation = QStringLiteral("/dev/ttyUSB0");
    d.description = QStringLiteral("FT232R USB UART");
    d.manufacturer = QStringLiteral("FTDI");
    d.serialNumber = QStringLiteral("A50285BI");
    d.hasVendorIdentifier = true;
    d.vendorIdentifier = 0x0403;
    d.hasProductIdentifier = true;
    d.productIdentifier = 0x6001;
    return d;
}

PortDetails bareUart()
{
    PortDetails d;
    d.portName = QStringLiteral("ttyS0");
    d.systemLocation = QStringLiteral("/dev/ttyS0");
    return d;
}

const QString ftdiBlock = QStringLiteral("Port: ttyUSB0\n"
                                         "Location: /dev/ttyUSB0\n"
                                         "Description: FT232R USB UART\n"
                                         "Manufacturer: FTDI\n"
                                         "Serial number: A50285BI\n"
                                         "Vendor Identifier: 403\n"
                                         "Product Identifier: 6001\n"
                                         "Busy: No\n");

const QString bareUartBlock = QStringLiteral("Port: ttyS0\n"
                                             "Location: /dev/ttyS0\n"
                                             "Description: \n"
                                             "Manufacturer: \n"
                                             "Serial number: \n"
                                             "Vendor Identifier: \n"
                                             "Product Identifier: \n"
                                             "Busy: No\n");

QString withLine(QString block, const QString &label, const QString &line)
{
    QStringList lines = block.split(QLatin1Char('\n'));
    for (QString &l : lines) {
        if (l.startsWith(label))
            l = line;
    }
    return lines.join(QLatin1Char('\n'));
}

// Anything the text could have brought in if read as HTML.
QString formattingIn(const QTextDocument *document)
{
    if (!document->rootFrame()->childFrames().isEmpty())
        return QStringLiteral("a frame or table");
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() != 0 || block.textList())
            return QStringLiteral("a heading or list in block ") + block.text();
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            const QString where = QStringLiteral(" in \"") + it.fragment().text() + QLatin1Char('"');
            if (format.isImageFormat())
                return QStringLiteral("an image") + where;
            if (format.isAnchor())
                return QStringLiteral("a link") + where;
            if (format.fontWeight() != QFont::Normal || format.fontItalic()
                || format.fontUnderline() || format.fontStrikeOut())
                return QStringLiteral("a font style") + where;
        }
    }
    return QString();
}

} // namespace

class TestPortReport : public QObject
{
    Q_OBJECT

private slots:
    void block_data();
    void block();
    void reportLayout_data();
    void reportLayout();
    void sameAsAppendForOrdinaryText_data();
    void sameAsAppendForOrdinaryText();
    void deviceTextShownLiterally_data();
    void deviceTextShownLiterally();
};

void TestPortReport::block_data()
{
    QTest::addColumn<PortDetails>("details");
    QTest::addColumn<QString>("expected");

    QTest::newRow("usb adapter, free") << ftdiAdapter() << ftdiBlock;
    QTest::newRow("system gives nothing") << bareUart() << bareUartBlock;

    PortDetails busy = ftdiAdapter();
    busy.busy = true;
    QTest::newRow("busy") << busy << withLine(ftdiBlock, "Busy: ", "Busy: Yes");

    // A stale value behind a false flag must not leak into the report.
    PortDetails noVendor = ftdiAdapter();
    noVendor.hasVendorIdentifier = false;
    QTest::newRow("no vendor identifier")
        << noVendor << withLine(ftdiBlock, "Vendor", "Vendor Identifier: ");
    PortDetails noProduct = ftdiAdapter();
    noProduct.hasProductIdentifier = false;
    QTest::newRow("no product identifier")
        << noProduct << withLine(ftdiBlock, "Product", "Product Identifier: ");

    auto ids = [](quint16 vendor, quint16 product) {
        PortDetails d = ftdiAdapter();
        d.vendorIdentifier = vendor;
        d.productIdentifier = product;
        return d;
    };
    auto idLines = [](const char *vendor, const char *product) {
        return withLine(withLine(ftdiBlock, "Vendor", QStringLiteral("Vendor Identifier: ") + vendor),
                        "Product", QStringLiteral("Product Identifier: ") + product);
    };
    QTest::newRow("two and three digits") << ids(0x1a, 0x0403) << idLines("1a", "403");
    QTest::newRow("one digit") << ids(0x7, 0xf) << idLines("7", "f");
    QTest::newRow("zero is present") << ids(0, 0) << idLines("0", "0");
    QTest::newRow("lowercase, four digits") << ids(0xABCD, 0xffff) << idLines("abcd", "ffff");

    PortDetails odd = bareUart();
    odd.description = QStringLiteral("<b>x</b>");
    odd.manufacturer = QStringLiteral("Завод «Зерак»");
    odd.serialNumber = QStringLiteral("光功率计 &amp; 1");
    QTest::newRow("markup and non-Latin kept verbatim")
        << odd
        << withLine(withLine(withLine(bareUartBlock, "Description", "Description: <b>x</b>"),
                             "Manufacturer", "Manufacturer: Завод «Зерак»"),
                    "Serial", "Serial number: 光功率计 &amp; 1");
}

void TestPortReport::block()
{
    QFETCH(PortDetails, details);
    QFETCH(QString, expected);
    QCOMPARE(portReportBlock(details), expected);
}

void TestPortReport::reportLayout_data()
{
    QTest::addColumn<QList<PortDetails>>("ports");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no ports") << QList<PortDetails>() << QString();
    QTest::newRow("one port") << QList<PortDetails>{ftdiAdapter()} << ftdiBlock;
    QTest::newRow("two ports, in order, one empty line between")
        << QList<PortDetails>{bareUart(), ftdiAdapter()} << bareUartBlock + "\n" + ftdiBlock;
    QTest::newRow("two ports, other order")
        << QList<PortDetails>{ftdiAdapter(), bareUart()} << ftdiBlock + "\n" + bareUartBlock;
}

void TestPortReport::reportLayout()
{
    QFETCH(QList<PortDetails>, ports);
    QFETCH(QString, expected);

    QStringList blocks;
    for (const PortDetails &port : ports)
        blocks << portReportBlock(port);
    QTextEdit output;
    appendPlainBlocks(&output, blocks);
    QCOMPARE(output.toPlainText(), expected);
}

void TestPortReport::sameAsAppendForOrdinaryText_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QStringList>("blocks");
    QTest::addColumn<bool>("readOnly");

    const QStringList many = {ftdiBlock, bareUartBlock, ftdiBlock, bareUartBlock, ftdiBlock,
                              bareUartBlock, ftdiBlock, bareUartBlock};
    QTest::newRow("nothing") << QString() << QStringList() << true;
    QTest::newRow("one block") << QString() << QStringList{ftdiBlock} << true;
    QTest::newRow("two blocks") << QString() << QStringList{ftdiBlock, bareUartBlock} << true;
    QTest::newRow("enough to scroll, read-only") << QString() << many << true;
    QTest::newRow("enough to scroll, editable") << QString() << many << false;
    QTest::newRow("after earlier text") << QStringLiteral("earlier\ntext")
                                        << QStringList{bareUartBlock} << true;
    QTest::newRow("scrolled text before") << many.join(QLatin1Char('\n'))
                                          << QStringList{ftdiBlock} << true;
    QTest::newRow("no final line feed") << QString() << QStringList{"a\nb", "c"} << true;
    QTest::newRow("leading and double line feeds")
        << QString() << QStringList{"\nx\n\n", "\n"} << true;
    QTest::newRow("empty blocks") << QString() << QStringList{"", "", "x"} << true;
    QTest::newRow("Cyrillic and CJK")
        << QString() << QStringList{"Порт: ttyUSB0\n", "端口: COM3\n"} << true;

    QStringList machine;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        machine << portReportBlock(portDetailsOf(port));
    QTest::newRow("this machine's ports") << QString() << machine << true;
}

void TestPortReport::sameAsAppendForOrdinaryText()
{
    QFETCH(QString, before);
    QFETCH(QStringList, blocks);
    QFETCH(bool, readOnly);

    QTextEdit viaAppend;
    QTextEdit viaPlain;
    for (QTextEdit *edit : {&viaAppend, &viaPlain}) {
        edit->setReadOnly(readOnly);
        edit->resize(240, 120);
        edit->show();
        if (!before.isNull())
            edit->append(before);
    }
    QVERIFY(QTest::qWaitForWindowExposed(&viaPlain));

    for (const QString &b : blocks)
        viaAppend.append(b);
    appendPlainBlocks(&viaPlain, blocks);

    QCOMPARE(viaPlain.toPlainText(), viaAppend.toPlainText());
    QCOMPARE(viaPlain.toHtml(), viaAppend.toHtml());
    QCOMPARE(viaPlain.textCursor().position(), viaAppend.textCursor().position());
    QCOMPARE(viaPlain.verticalScrollBar()->value(), viaAppend.verticalScrollBar()->value());
    if (before.isNull() && !blocks.isEmpty() && !blocks.first().startsWith(QLatin1Char('\n')))
        QVERIFY(!viaPlain.toPlainText().startsWith(QLatin1Char('\n')));
}

void TestPortReport::deviceTextShownLiterally_data()
{
    QTest::addColumn<PortDetails>("details");

    const QStringList values = {
        QStringLiteral("<b>x</b>"),
        QStringLiteral("<img src=x>"),
        QStringLiteral("&amp;"),
        QStringLiteral("&lt;b&gt;"),
        QStringLiteral("<html>"),
        QStringLiteral("<!DOCTYPE html><h1>big</h1>"),
        QStringLiteral("<a href=\"x\">link</a><table><tr><td>1</td></tr></table>"),
        QStringLiteral("Измеритель оптической мощности"),
        QStringLiteral("光功率计 测试"),
    };
    // The port name matters most: append() only looks at the first line.
    const char *fields[] = {"port name", "description", "manufacturer", "serial number"};
    for (const QString &value : values) {
        for (int field = 0; field < 4; ++field) {
            PortDetails d = ftdiAdapter();
            QString *target[] = {&d.portName, &d.description, &d.manufacturer, &d.serialNumber};
            *target[field] = value;
            QTest::addRow("%s in %s", qPrintable(value), fields[field]) << d;
        }
    }
}

void TestPortReport::deviceTextShownLiterally()
{
    QFETCH(PortDetails, details);

    const QString block = portReportBlock(details);
    QTextEdit output;
    output.setReadOnly(true);
    appendPlainBlocks(&output, {block, block});

    QCOMPARE(output.toPlainText(), block + "\n" + block);
    QCOMPARE(output.document()->blockCount(), 2 * 9);
    QCOMPARE(formattingIn(output.document()), QString());
}

QTEST_MAIN(TestPortReport)
#include "tst_portreport.moc"
