#include "app/Startup.h"

#include "app/ErrorReport.h"
#include "profiles/InstalledUse.h"
#include "app/TerminationSignals.h"
#include "sock/TKZSock.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

int RunMainWindow(const StartupOptions& options)
{
    // Anything that ends start-up before the window's loop has run its course
    // is a failure of the program's start.
    int status = 1;
    RunReported([&] {
        if (options.DesktopStart)
            EnterDesktopDownloadDir();
        auto form = std::make_unique<TForm1>(options);
        // Declared after the window: the handlers go before the window does.
        TerminationSignals terminationSignals(form.get());
        form->show();
        const int loopStatus = QApplication::exec();
        status = form->TerminationRequested() ? 1 : loopStatus;
    });
    return status;
}

void EndIfLookupsRun(int status)
{
    // A look-up abandoned by a stop may hang in the system's resolver for
    // as long as its name servers take; Qt's look-up threads would hold the
    // program's exit until then. The window is gone and every socket is
    // closed, so the process ends now instead.
    if (TKZSock::LookupsRunning() == 0)
        return;
    std::fflush(nullptr);
    std::_Exit(status);
}
