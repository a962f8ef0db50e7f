// SPDX-License-Identifier: MIT
// Captions and readings show whole with whatever font the platform gives,
// and widening a box never moves anything.

#include "app/mainwindow.h"
#include "ui/captionfit.h"
#include "ui/mainwindowui.h"

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QtTest>

namespace {

// The boxes with a caption; their geometry is the form's (checked in tst_mainwindowform).
const char *const captionBoxes[] = {
    "pushButton_OpenPort", "label", "pushButton_PortsInfo", "pushButton_ClosePort",
    "pushButton_SendTo_lamda", "pushButton_ClosePort_2", "pushButton_read", "label_4",
    "label_5", "label_7", "label_8", "label_9", "label_2", "pushButton",
};

// Width the caption's text takes and width the box gives it to draw in:
// for a button the style's contents rectangle, for a label its contents.
QPair<int, int> textAndRoom(QWidget *widget)
{
    widget->ensurePolished();
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect contents =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        return {button->fontMetrics().horizontalAdvance(button->text()), contents.width()};
    }
    auto *label = qobject_cast<QLabel *>(widget);
    const int indent = qMax(label->indent(), 0);
    return {label->fontMetrics().horizontalAdvance(label->text()),
            label->contentsRect().width() - 2 * label->margin() - indent};
}

QString captionOf(const QWidget *widget)
{
    if (auto *button = qobject_cast<const QPushButton *>(widget))
        return button->text();
    return qobject_cast<const QLabel *>(widget)->text();
}

void setCaption(QWidget *widget, const QString &text)
{
    if (auto *button = qobject_cast<QPushButton *>(widget))
        button->setText(text);
    else
        qobject_cast<QLabel *>(widget)->setText(text);
}

QMap<QString, QRect> geometries(const QWidget *centralWidget)
{
    QMap<QString, QRect> result;
    for (const QWidget *widget :
         centralWidget->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        result.insert(widget->objectName(), widget->geometry());
    return result;
}

// The nearest visible sibling to the right that shares more than one row.
QWidget *rightNeighbour(QWidget *widget, const QRect &form)
{
    QWidget *nearest = nullptr;
    for (QWidget *sibling : widget->parentWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QRect other = sibling->geometry();
        const int sharedRows = qMin(form.bottom(), other.bottom()) - qMax(form.top(), other.top()) + 1;
        if (sibling != widget && !sibling->isHidden() && other.x() >= form.right() && sharedRows > 1
            && (!nearest || other.x() < nearest->x()))
            nearest = sibling;
    }
    return nearest;
}

class FontOverride
{
public:
    explicit FontOverride(int pointSize) : saved(QApplication::font())
    {
        if (pointSize > 0) {
            QFont font = saved;
            font.setPointSize(pointSize);
            QApplication::setFont(font);
        }
    }
    ~FontOverride() { QApplication::setFont(saved); }

private:
    QFont saved;
};

} // namespace

class CaptionFitTest : public QObject
{
    Q_OBJECT

private slots:
    void fitsAfterConstruction_data();
    void fitsAfterConstruction();
    void widensOnlyTooNarrow_data();
    void widensOnlyTooNarrow();
    void readingLine_data();
    void readingLine();
    void everyControlWhole_data();
    void everyControlWhole();
};

void CaptionFitTest::fitsAfterConstruction_data()
{
    QTest::addColumn<int>("pointSize"); // of the application font; 0 keeps the platform's

    QTest::newRow("platform font") << 0;
    QTest::newRow("7 pt") << 7;
    QTest::newRow("12 pt") << 12;
    QTest::newRow("16 pt") << 16;
}

void CaptionFitTest::fitsAfterConstruction()
{
    QFETCH(int, pointSize);

    const FontOverride font(pointSize);
    MainWindow window;
    QMainWindow form; // the same widgets, never fitted
    MainWindowUi formUi;
    formUi.setupUi(&form);
    for (const char *name : captionBoxes) {
        struct
        {
            const char *name;
            QRect form;
        } box{name, form.findChild<QWidget *>(QString::fromLatin1(name))->geometry()};
        auto *widget = window.findChild<QWidget *>(QString::fromLatin1(box.name));
        QVERIFY2(widget, box.name);
        const QRect now = widget->geometry();
        QVERIFY2(now.topLeft() == box.form.topLeft(), box.name);
        QVERIFY2(now.height() == box.form.height(), box.name);
        QVERIFY2(now.width() >= box.form.width(), box.name);
        const QPair<int, int> fit = textAndRoom(widget);
        QWidget *neighbour = rightNeighbour(widget, box.form);
        if (neighbour) // never pushed under the neighbour beyond the shared column
            QVERIFY2(now.right() <= qMax(box.form.right(), neighbour->x()), box.name);
        QVERIFY2(fit.first <= fit.second, qPrintable(QStringLiteral("%1: text %2 px, room %3 px")
                                                         .arg(QLatin1String(box.name))
                                                         .arg(fit.first)
                                                         .arg(fit.second)));
        // A smaller font only where a neighbour on the right stops the widening.
        const QWidget *original = form.findChild<QWidget *>(QString::fromLatin1(box.name));
        if (widget->font().pointSizeF() < original->font().pointSizeF()) {
            QVERIFY2(neighbour, box.name);
            QCOMPARE(now.right(), qMax(box.form.right(), neighbour->x()));
            QVERIFY(widget->font().pointSizeF() >= 6.0);
        } else {
            QCOMPARE(widget->font().pointSizeF(), original->font().pointSizeF());
            // Wider than the form only as far as the widget itself asks.
            QVERIFY2(now.width() <= qMax(box.form.width(), widget->sizeHint().width()), box.name);
        }
    }
}

void CaptionFitTest::widensOnlyTooNarrow_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("wider");
    QTest::addColumn<bool>("fits");

    QTest::newRow("long button caption")
        << "pushButton_ClosePort" << QStringLiteral("Закрыть порт и выйти") << true << true;
    QTest::newRow("long caption, last button")
        << "pushButton" << QStringLiteral("помощь по работе с прибором") << true << true;
    QTest::newRow("long notice")
        << "label_2" << QStringLiteral("прибор не подключен, проверьте кабель!") << true << true;
    QTest::newRow("long label, up to the list") << "label" << QStringLiteral("Последовательный порт") << true << false;
    QTest::newRow("neighbour on the right stops it")
        << "pushButton_OpenPort" << QStringLiteral("Открыть порт и начать измерения") << false << false;
    QTest::newRow("short caption in the narrowest button") << "pushButton" << "?" << false << true;
    QTest::newRow("short sign") << "label_9" << "-" << false << true;
    QTest::newRow("empty label") << "label" << QString() << false << true;
    QTest::newRow("caption unchanged") << "pushButton_ClosePort_2" << QStringLiteral("Выход") << false << true;
}

void CaptionFitTest::widensOnlyTooNarrow()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(bool, wider);
    QFETCH(bool, fits);

    QMainWindow window;
    MainWindowUi ui;
    ui.setupUi(&window);
    widenCaptionsToFit(&ui); // whatever the platform's font needs
    QWidget *target = window.findChild<QWidget *>(name);
    QVERIFY(target);

    const QMap<QString, QRect> before = geometries(ui.centralWidget);
    setCaption(target, caption);
    widenCaptionsToFit(&ui);
    const QMap<QString, QRect> after = geometries(ui.centralWidget);

    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key() != name)
            QCOMPARE(after.value(it.key()), it.value());
    }
    const QRect was = before.value(name);
    const QRect now = after.value(name);
    QCOMPARE(now.topLeft(), was.topLeft());
    QCOMPARE(now.height(), was.height());
    if (wider)
        QVERIFY(now.width() > was.width());
    else
        QCOMPARE(now.width(), was.width());
    const QPair<int, int> fit = textAndRoom(target);
    QVERIFY2((fit.first <= fit.second) == fits,
             qPrintable(QStringLiteral("text %1 px, room %2 px").arg(fit.first).arg(fit.second)));
    QCOMPARE(captionOf(target), caption);
}

void CaptionFitTest::readingLine_data()
{
    QTest::addColumn<QString>("sign");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("wavelength");

    QTest::newRow("-15.00 dBm, 1625 nm") << "-" << "15.00" << "dBm" << "1625 nm";
    QTest::newRow("15.00 dB, 1310 nm") << " " << "15.00" << "dB" << "1310 nm";
    QTest::newRow("-0.45 dBm, 850 nm") << "-" << "0.45" << "dBm" << "850 nm";
    QTest::newRow("-88.88 dBm, 1550 nm") << "-" << "88.88" << "dBm" << "1550 nm";
}

// Sign, value and unit side by side on one line, in that order; the
// wavelength whole inside its box.
void CaptionFitTest::readingLine()
{
    QFETCH(QString, sign);
    QFETCH(QString, value);
    QFETCH(QString, unit);
    QFETCH(QString, wavelength);

    MainWindow window;
    auto *signLabel = window.findChild<QLabel *>(QStringLiteral("label_9"));
    auto *valueLabel = window.findChild<QLabel *>(QStringLiteral("label_7"));
    auto *unitLabel = window.findChild<QLabel *>(QStringLiteral("label_8"));
    auto *wavelengthLabel = window.findChild<QLabel *>(QStringLiteral("label_5"));
    QVERIFY(signLabel && valueLabel && unitLabel && wavelengthLabel);
    signLabel->setText(sign);
    valueLabel->setText(value);
    unitLabel->setText(unit);
    wavelengthLabel->setText(wavelength);

    const auto end = [](const QLabel *label) {
        return label->x() + label->fontMetrics().horizontalAdvance(label->text());
    };
    QVERIFY(end(signLabel) <= valueLabel->x());
    QVERIFY(end(signLabel) <= signLabel->geometry().right() + 1);
    QVERIFY2(end(valueLabel) <= unitLabel->x(),
             qPrintable(QStringLiteral("value ends at %1").arg(end(valueLabel))));
    QVERIFY(end(unitLabel) <= unitLabel->geometry().right() + 1);
    QVERIFY(end(unitLabel) <= window.width());
    QVERIFY(end(wavelengthLabel) <= wavelengthLabel->geometry().right() + 1);

    const int centre = valueLabel->geometry().center().y();
    QVERIFY(qAbs(signLabel->geometry().center().y() - centre) <= 1);
    QVERIFY(qAbs(unitLabel->geometry().center().y() - centre) <= 1);
}

void CaptionFitTest::everyControlWhole_data()
{
    QTest::addColumn<int>("pointSize"); // of the application font; 0 keeps the platform's
    QTest::addColumn<QString>("style"); // empty: the platform's

    // The bars grow with the font and differ between styles.
    QTest::newRow("platform font") << 0 << QString();
    QTest::newRow("7 pt") << 7 << QString();
    QTest::newRow("12 pt") << 12 << QString();
    QTest::newRow("16 pt") << 16 << QString();
    QTest::newRow("Windows style") << 0 << QStringLiteral("Windows");
}

// Inside the central area once shown, at the form's places; the window larger
// than the form's size by just what the bars left missing, if anything.
void CaptionFitTest::everyControlWhole()
{
    QFETCH(int, pointSize);
    QFETCH(QString, style);

    const FontOverride font(pointSize);
    const QString platformStyle = QApplication::style()->objectName();
    if (!style.isEmpty())
        QVERIFY(QApplication::setStyle(style));
    const auto restoreStyle = qScopeGuard([&] {
        if (!style.isEmpty())
            QApplication::setStyle(platformStyle);
    });

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window, 5000));
    QWidget *central = window.centralWidget();
    QMainWindow form;
    MainWindowUi formUi;
    formUi.setupUi(&form);

    QRect controls;
    for (QWidget *control : central->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        const QRect box = control->geometry();
        const QRect formBox = form.findChild<QWidget *>(control->objectName())->geometry();
        QCOMPARE(box.topLeft(), formBox.topLeft());
        QCOMPARE(box.height(), formBox.height());
        if (control->isHidden())
            continue;
        QVERIFY2(central->rect().contains(box),
                 qPrintable(QStringLiteral("%1 at %2,%3 %4x%5; central area %6x%7")
                                .arg(control->objectName())
                                .arg(box.x()).arg(box.y()).arg(box.width()).arg(box.height())
                                .arg(central->width()).arg(central->height())));
        controls |= box;
    }
    const QSize bars = window.size() - central->size();
    const QSize needed(controls.x() + controls.width(), controls.y() + controls.height());
    QCOMPARE(window.size(), (needed + bars).expandedTo(QSize(616, 389)));
}

QTEST_MAIN(CaptionFitTest)
#include "tst_captionfit.moc"
