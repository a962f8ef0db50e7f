// SPDX-License-Identifier: MIT
#include "app/appsetup.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

namespace {

// --help and --version are answered before the window's application exists,
// so they need no display and show nothing. Any other option is left to
// QApplication (-platform, -style, -geometry...), as it always was.
bool answeredHelpOrVersion(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions); // -style is not -s -t -y...
    parser.setApplicationDescription(QStringLiteral(
        "Shows the wavelength and the optical power that a handheld optical power meter\n"
        "measures, over the meter's USB virtual serial port, and steps its wavelength.\n"
        "The window is in Russian."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({help, version});
    parser.parse(arguments); // Qt's options are unknown here, and that is no error
    if (parser.isSet(help)) {
        const QCoreApplication application(argc, argv); // the usage line names the program from it
        std::fputs(qPrintable(parser.helpText()
                              + QStringLiteral("\nQt's own options are accepted too, for example:\n"
                                               "  -platform NAME     Window system: xcb, wayland or offscreen.\n"
                                               "  -display DISPLAY   The X display to use.\n"
                                               "  -style NAME        Widget style, e.g. Fusion.\n"
                                               "  -geometry WxH+X+Y  The window's size and position (X11).\n"
                                               "  -reverse           Right-to-left layout.\n")),
                   stdout);
        return true;
    }
    if (parser.isSet(version)) {
        std::printf("zerak %s\n", ZERAK_VERSION);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answeredHelpOrVersion(argc, argv))
        return 0;
    setUpBeforeApplication();
    QApplication application(argc, argv);
    setUpApplication();
    MainWindow window;
    window.show();
    const int result = application.exec();
    return result;
}
