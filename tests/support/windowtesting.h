// SPDX-License-Identifier: MIT
#pragma once

// Helpers for tests that drive the main window against a simulated meter.

#include "sim/metersimulator.h"
#include "support/waiting.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTest>
#include <QVector>
#include <QWidget>

#include <functional>

class QTimer;

namespace testsupport {

// nullptr when the window has no such child, so QVERIFY can check it.
template <class T>
T *widget(QWidget *window, const char *objectName)
{
    return window ? window->findChild<T *>(QString::fromLatin1(objectName)) : nullptr;
}

// Port enumeration never lists pseudo-terminals: put the path into "cmbPort"
// by hand and make it the current entry.
void selectPort(QWidget *window, const QString &path);

struct SeenBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    // What the box reports as its default button. QMessageBox::warning(...,
    // Ok, NoButton) still makes its accept button the default: Ok.
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget *parent = nullptr;
};

// Records every modal message box, once each, and dismisses it, so code that
// runs QMessageBox::exec() goes on in tests. Polls from construction on.
class MessageBoxWatcher : public QObject
{
    Q_OBJECT

public:
    explicit MessageBoxWatcher(QObject *parent = nullptr);

    QVector<SeenBox> boxes() const { return seen; }
    // Processes events until count boxes have been seen in all.
    bool waitForBoxes(int count, int timeoutMs = 5000);
    void clear() { seen.clear(); }
    // Runs while the box is showing, inside its event loop, before dismissal;
    // a box that opens while it runs is recorded, checked and dismissed inside.
    void setBeforeDismiss(std::function<void(QMessageBox *)> check) { beforeDismiss = std::move(check); }

private:
    void poll();

    QTimer *timer;
    QVector<SeenBox> seen;
    QVector<QPointer<QMessageBox>> handled;
    std::function<void(QMessageBox *)> beforeDismiss;
};

// User plus system CPU time this process has used so far.
double processCpuSeconds();

// Processes events until the simulator has received byteCount bytes in all.
inline bool waitForReceived(MeterSimulator &sim, int byteCount, int timeoutMs = 3000)
{
    return waitUntil([&] { return sim.received().size() >= byteCount; }, timeoutMs);
}

} // namespace testsupport
