// SPDX-License-Identifier: MIT
#pragma once

// Count, min, mean, max and sample standard deviation of a stream of values,
// in constant memory (Welford's method): a day of logging costs no more than
// a minute.

#include <QtGlobal>

namespace session {

class ReadingStats
{
public:
    void add(double value);
    qint64 count() const { return n; }
    bool isEmpty() const { return n == 0; }
    double min() const { return low; }
    double max() const { return high; }
    double mean() const { return average; }
    // Sample standard deviation (n - 1); 0 for fewer than two values.
    double deviation() const;

private:
    qint64 n = 0;
    double low = 0;
    double high = 0;
    double average = 0;
    double squares = 0; // sum of squared differences from the mean
};

} // namespace session
