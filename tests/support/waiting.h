// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

namespace testsupport {

// Runs the event loop until the condition holds, looking each time the loop
// is about to sleep. QTest::qWaitFor sleeps 10 ms between looks, which would
// hold a live loop to a reading or so per look. Time alone wakes nothing:
// for a condition on the clock, QTRY_VERIFY.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 5000);

} // namespace testsupport
