// SPDX-License-Identifier: MIT
#include "cli/serverun.h"

#include "app/interruption.h"
#include "cli/console.h"
#include "cli/options.h"
#include "port/lineport.h"
#include "scpi/server.h"
#include "scpi/sharedmeter.h"
#include "session/exitcode.h"

#include <QCoreApplication>

#include <cstdio>

namespace cli {

int serve(QCoreApplication &app, const Options &options)
{
    scpi::SharedMeter meter(options.port, meter::Timing{options.gapMs, options.deadlineMs});
    if (const std::optional<OpenFailure> failure = meter.open()) {
        printError(options.port + QStringLiteral(": ") + session::openFailureText(*failure));
        return session::exitCodeFor(*failure);
    }
    scpi::Server server(meter, ZERAK_VERSION, options.maxClients, options.deadlineMs);
    QObject::connect(&server, &scpi::Server::logged, [](const QString &line) { printError(line); });
    const QString asked = scpi::Server::endpointText(options.listenAddress, options.listenPort);
    if (!options.listenAddress.isLoopback())
        printError(QStringLiteral("warning: listening on %1: anyone who can reach this address can drive the meter")
                       .arg(asked));
    if (!server.listen(options.listenAddress, options.listenPort)) {
        printError(QStringLiteral("cannot listen on %1 (--listen): %2").arg(asked, server.errorString()));
        return session::exitCannotListen;
    }
    if (!onInterrupt(app, [&app] { app.quit(); })) {
        std::perror("zerak-cli: signal handling");
        return exitFailure;
    }
    printError(QStringLiteral("serving the meter on %1 at %2, at most %3 clients; Ctrl-C ends")
                   .arg(options.port, scpi::Server::endpointText(server.address(), server.port()))
                   .arg(options.maxClients));
    app.exec();
    printError(QStringLiteral("stopped serving"));
    return exitOk;
}

} // namespace cli
