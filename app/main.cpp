#include "profiles/InstalledUse.h"
#include "app/Startup.h"
#include "app/WisplogApplication.h"

int main(int argc, char** argv)
{
    WisplogApplication app(argc, argv);
    StartupOptions options;
    options.DesktopStart = QCoreApplication::arguments().contains(QLatin1String(DesktopStartArgument));
    const int status = RunMainWindow(options);
    EndIfLookupsRun(status);
    return status;
}
