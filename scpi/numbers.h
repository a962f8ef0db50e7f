// SPDX-License-Identifier: MIT
#pragma once

// Numbers as SCPI sends and takes them.

#include <QByteArray>

#include <optional>

namespace scpi {

// NR3, always signed, nine significant digits: "-1.50000000E+01".
QByteArray nr3(double value);

// The factor of a suffix made of a multiplier and a unit, "UM" for "M":
// none when the suffix is not that unit. "M" is milli before a unit, and
// the metre alone.
std::optional<double> suffixFactor(const QByteArray &suffix, const QByteArray &unit);

} // namespace scpi
