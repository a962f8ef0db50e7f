// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

// Port enumeration never lists pseudo-terminals, such as the simulated
// meter's: ZERAK_EXTRA_PORTS names such paths, separated by ':', empty
// entries ignored. They come after the enumerated ports.
QStringList extraPortPaths();
