// SPDX-License-Identifier: MIT
#include "session/stats.h"

#include <algorithm>
#include <cmath>

namespace session {

void ReadingStats::add(double value)
{
    ++n;
    low = n == 1 ? value : std::min(low, value);
    high = n == 1 ? value : std::max(high, value);
    const double delta = value - average;
    average += delta / double(n);
    squares += delta * (value - average);
}

double ReadingStats::deviation() const
{
    return n > 1 ? std::sqrt(std::max(0.0, squares) / double(n - 1)) : 0.0;
}

} // namespace session
