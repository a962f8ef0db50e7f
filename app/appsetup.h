// SPDX-License-Identifier: MIT
#pragma once

// The program's set-up around the application object, shared with the
// start-up benchmark so that it measures what users start.

// Before the application object exists: the event loop and scaling.
void setUpBeforeApplication();
// Once it exists: the window icon and the desktop entry's name.
void setUpApplication();
