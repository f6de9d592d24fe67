// Application start-up after the application object exists: builds the main
// window, runs the event loop until it closes, and reports a failure of its
// construction with the standard error report. Started from the desktop
// entry, it first enters the user's download directory. Returns the event
// loop's exit status, or 1 when start-up failed (an error report, or no
// library).
#pragma once

#include "app/Form1.h"

int RunMainWindow(const StartupOptions& options = {});

// The program's last step before it returns from main: ends the process at
// once with status when a host look-up abandoned by a stop still runs (Qt
// would hold the exit until the resolver gives up); otherwise returns.
void EndIfLookupsRun(int status);
