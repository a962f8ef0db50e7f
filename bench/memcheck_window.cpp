// SPDX-License-Identifier: MIT
// The window's whole life as a user lives it, for valgrind's memcheck: start,
// open the simulated meter's port, run the live display for a number of
// readings, close the port and leave through Exit, with the program's own
// main() sequence around it. Exits non-zero when a step does not happen.
//
//   memcheck_window [readings]     (default 5000)

#include "app/mainwindow.h"
#include "sim/metersimulator.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

// Plays the user from inside the event loop, as the program's own main()
// runs it. Message boxes are answered with Ok, as a user would.
class Driver : public QObject
{
public:
    // stageClock: running since the process started.
    Driver(MainWindow &window, MeterSimulator &sim, int readings, QElapsedTimer stageClock)
        : window(window), sim(sim), readings(readings), stageClock(stageClock)
    {
        connect(&ticker, &QTimer::timeout, this, &Driver::tick);
        ticker.start(10);
    }

    bool finished() const { return stage == Exiting; }

private:
    enum Stage { Starting, Opening, Measuring, Closing, Exiting };

    template <class T>
    T *child(const char *name) const { return window.findChild<T *>(QLatin1String(name)); }

    // Queued, so that a modal box the click opens runs its own loop outside
    // this tick and the next tick can answer it.
    void press(const char *name)
    {
        QPushButton *button = child<QPushButton>(name);
        if (button)
            QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
        else
            fail(name);
    }

    void next(Stage s, const char *what)
    {
        std::printf("%-10s %6lld ms\n", what, stageClock.restart());
        stage = s;
    }

    void fail(const char *what)
    {
        std::printf("FAILED at %s\n", what);
        ticker.stop();
        qApp->exit(1);
    }

    void tick()
    {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::printf("box: %s\n", qPrintable(box->text()));
            ++boxes;
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            return;
        }
        if (stageClock.elapsed() > 120000) {
            fail("a step that took over 120 s");
            return;
        }
        switch (stage) {
        case Starting: {
            auto *ports = child<QComboBox>("cmbPort");
            const int index = ports ? ports->findText(sim.portPath()) : -1;
            if (index < 0) {
                fail("finding the simulated port in the list");
                return;
            }
            ports->setCurrentIndex(index);
            press("pushButton_OpenPort");
            next(Opening, "start-up");
            break;
        }
        case Opening:
            if (boxes >= 1 && child<QPushButton>("pushButton_read")->isEnabled()) {
                firstReading = sim.repliesSent();
                press("pushButton_read");
                next(Measuring, "open");
            }
            break;
        case Measuring:
            if (sim.repliesSent() - firstReading >= readings) {
                std::printf("shown: %s %s%s %s\n", qPrintable(child<QLabel>("label_5")->text()),
                            qPrintable(child<QLabel>("label_9")->text()),
                            qPrintable(child<QLabel>("label_7")->text()),
                            qPrintable(child<QLabel>("label_8")->text()));
                press("pushButton_ClosePort");
                next(Closing, "measuring");
            }
            break;
        case Closing:
            if (boxes >= 2 && child<QPushButton>("pushButton_OpenPort")->isEnabled()) {
                press("pushButton_ClosePort_2");
                next(Exiting, "close");
            }
            break;
        case Exiting:
            break;
        }
    }

    MainWindow &window;
    MeterSimulator &sim;
    const int readings;
    QTimer ticker;
    QElapsedTimer stageClock;
    Stage stage = Starting;
    int boxes = 0;
    int firstReading = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QElapsedTimer clock;
    clock.start();
    QApplication application(argc, argv);
    const int readings = argc > 1 ? std::atoi(argv[1]) : 5000;

    MeterSimulator sim;
    if (!sim.start()) {
        std::printf("simulator did not start: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    // The program offers the simulator's pseudo-terminal in its port list.
    qputenv("ZERAK_EXTRA_PORTS", sim.portPath().toLocal8Bit());

    MainWindow window;
    window.show();
    Driver driver(window, sim, readings, clock);
    const int result = application.exec();
    if (result != 0 || !driver.finished())
        return result != 0 ? result : 1;
    std::printf("exit       after %d readings\n", sim.repliesSent());
    return 0;
}
