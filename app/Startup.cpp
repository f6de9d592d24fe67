#include "app/Startup.h"

#include "app/ErrorReport.h"
#include "app/InstalledUse.h"

#include <QApplication>
#include <memory>

int RunMainWindow(const StartupOptions& options)
{
    RunReported([&] {
        if (options.DesktopStart)
            EnterDesktopDownloadDir();
        auto form = std::make_unique<TForm1>(options);
        form->show();
        QApplication::exec();
    });
    return 0;
}
