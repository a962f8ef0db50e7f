#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSerialPort>
#include <QVector>

#include "meter/protocol.h"

class MainWindowUi;
class PacedLabels;
class QTimer;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void on_pushButton_OpenPort_clicked();        // port/portconnection.cpp
    void on_pushButton_SendToPort_clicked();      // app/mainwindow.cpp (unused)
    void serialRecieve();                         // meter/replyhandling.cpp
    void on_pushButton_PortsInfo_clicked();       // port/portinventory.cpp
    void on_pushButton_ClosePort_clicked();       // port/portconnection.cpp
    void on_pushButton_ClosePort_2_clicked();     // port/portconnection.cpp
    void on_pushButton_SendTo_lamda_clicked();    // meter/meteractions.cpp
    void on_pushButton_read_clicked();            // meter/meteractions.cpp
    void on_checkBox_stateChanged(int arg1);      // app/mainwindow.cpp (unused)
    void on_pushButton_clicked();                 // ui/help.cpp

private:
    // Not slots: the slot table above is fixed, these are connected by pointer.
    void fillPortList();
    bool sendCommand(quint8 command);
    void reportWriteError();
    void queryWavelengthOnOpen();
    void showPortClosedControls();
    void resetReplyTracking();
    void handleArrivedFrames();
    void handleReplyFrame(const meter::ArrivedFrame &frame);
    void showReading(meter::ReplyKind kind, const meter::Frame &frame);
    void blankPowerReading();
    void continueMeasurementAfterFrame();
    void requestNextMeasurement();
    void replyGapElapsed();
    void replyDeadlineCheck();
    void scheduleReplyDeadline();
    void handlePortError(QSerialPort::SerialPortError error);
    void reportConnectionLost();

    MainWindowUi *ui;
    QSerialPort *serialPort;
    PacedLabels *readingLabels = nullptr; // label_5, 7, 8, 9: repainted at most once a frame

    // Reply framing and matching; see meter/replyhandling.cpp.
    meter::ReplyTracker replyTracker;
    QVector<meter::ArrivedFrame> arrivedFrames; // not yet handled, in order
    QElapsedTimer replyClock;
    QTimer *replyGapTimer = nullptr;
    QTimer *replyDeadlineTimer = nullptr;
    bool handlingFrames = false;
    bool sendingCommand = false;
    bool writeErrorShowing = false;
    bool connectionLost = false;
    int measurementsGivenUp = 0; // in a row, since the last reply
};
