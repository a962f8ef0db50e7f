// SPDX-License-Identifier: MIT
#pragma once

class QComboBox;
class QLabel;
class QMainWindow;
class QPushButton;
class QStatusBar;
class QTextEdit;
class QToolBar;
class QWidget;

// The main window's widgets, built at fixed positions. Members are named
// after the widgets' object names; the pointers own nothing.
class MainWindowUi
{
public:
    QWidget *centralWidget = nullptr;
    QPushButton *pushButton_OpenPort = nullptr;
    QLabel *label = nullptr;
    QComboBox *cmbPort = nullptr;
    QTextEdit *txtOutput = nullptr;
    QPushButton *pushButton_PortsInfo = nullptr;
    QPushButton *pushButton_ClosePort = nullptr;
    QPushButton *pushButton_SendTo_lamda = nullptr;
    QPushButton *pushButton_ClosePort_2 = nullptr;
    QPushButton *pushButton_read = nullptr;
    QLabel *label_4 = nullptr;
    QLabel *label_5 = nullptr;
    QLabel *label_7 = nullptr;
    QLabel *label_8 = nullptr;
    QLabel *label_9 = nullptr;
    QLabel *label_2 = nullptr;
    QPushButton *pushButton = nullptr;
    QToolBar *mainToolBar = nullptr;
    QStatusBar *statusBar = nullptr;

    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);
};
