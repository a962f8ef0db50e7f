#include "app/eventloop.h"

#include <QByteArray>

void preferPlainEventLoop()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}
