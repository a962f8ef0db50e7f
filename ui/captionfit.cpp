#include "ui/captionfit.h"

#include "ui/mainwindowui.h"

void widenCaptionsToFit(MainWindowUi *ui)
{
    (void)ui;
}
