// SPDX-License-Identifier: MIT
#pragma once

class MainWindowUi;

// Widens a caption's box where the platform's font needs more room than the
// form gives, so that every caption shows whole. Nothing else moves.
void widenCaptionsToFit(MainWindowUi *ui);
