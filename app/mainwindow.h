// SPDX-License-Identifier: MIT
#pragma once

#include <QMainWindow>
#include <QSerialPort>

#include "meter/meterlink.h"

class MainWindowUi;
class PacedLabels;

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
    void showReply(const meter::Reply &reply);
    void showReading(meter::ReplyKind kind, const meter::Frame &frame);
    void blankPowerReading();
    void requestNextMeasurement();
    void repeatGivenUpMeasurement(const meter::GiveUp &giveUp);
    void reportFailedWrite(quint8 command);
    void handlePortError(QSerialPort::SerialPortError error);
    void reportConnectionLost();

    MainWindowUi *ui;
    QSerialPort *serialPort;
    meter::MeterLink *link; // what goes on the line when, and what each reply answers
    PacedLabels *readingLabels = nullptr; // label_5, 7, 8, 9: repainted at most once a frame
};
