// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// State shared by the window's handlers. Only the GUI thread touches it.
extern QString currentPortName; // the port last tried by Open
extern int measureState;        // 1 while continuous measurement is on
extern int wavelengthMode;      // non-zero: an unmatched reply is a wavelength
