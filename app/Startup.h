// Application start-up after the application object exists: builds the main
// window, runs the event loop until it closes, and reports a failure of its
// construction with the standard error report. Started from the desktop
// entry, it first enters the user's download directory. Returns 0; ends the
// process itself when a host look-up still runs (it would hold the exit).
#pragma once

#include "app/Form1.h"

int RunMainWindow(const StartupOptions& options = {});
