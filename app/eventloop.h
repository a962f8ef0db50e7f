#pragma once

// Qt's glib event loop makes a system call for every socket notifier it
// switches and every event posted: several for each reading of the live
// display. The plain Unix loop makes none of them. Call before the
// application object is created; an explicit QT_NO_GLIB is left alone.
void preferPlainEventLoop();
