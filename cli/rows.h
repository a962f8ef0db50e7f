// SPDX-License-Identifier: MIT
#pragma once

// Readings as zerak-cli prints them: plain lines, CSV and JSON Lines.

#include "cli/options.h"
#include "session/readings.h"

namespace cli {

// "-15.00 dBm", then "  loss 3.00 dB" and "  PASS" or "  FAIL" as asked.
QString readingLine(const session::Reading &reading, const Options &options);
QString csvHeader(const Options &options);
QString csvRow(const session::Reading &reading, const Options &options);
QString jsonRow(const session::Reading &reading, const Options &options);

} // namespace cli
