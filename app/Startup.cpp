#include "app/Startup.h"

#include "app/ErrorReport.h"
#include "app/InstalledUse.h"

#include <QApplication>
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
        form->show();
        const int loopStatus = QApplication::exec();
        status = form->TerminationRequested() ? 1 : loopStatus;
    });
    return status;
}
