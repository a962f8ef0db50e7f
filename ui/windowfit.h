// SPDX-License-Identifier: MIT
#pragma once

class QMainWindow;

// Where the platform's tool bar and status bar leave the central area smaller
// than the form's controls need, makes the window larger by just what is
// missing, so that every control shows whole. It never shrinks the window and
// moves nothing inside it.
void growWindowToHoldControls(QMainWindow *window);
