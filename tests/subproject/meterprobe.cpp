// SPDX-License-Identifier: MIT
// Decodes a reply frame given in hex with the meter library alone.
#include "meter/protocol.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    const meter::Frame frame = meter::decodeFrame(QByteArray::fromHex(argc > 1 ? argv[1] : ""));
    std::printf("%s%s %s\n", qPrintable(meter::signText(frame).trimmed()), qPrintable(meter::magnitudeText(frame)),
                qPrintable(meter::unitText(frame)));
    return 0;
}
