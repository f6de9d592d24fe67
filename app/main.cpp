#include "app/InstalledUse.h"
#include "app/Startup.h"
#include "app/WisplogApplication.h"

int main(int argc, char** argv)
{
    WisplogApplication app(argc, argv);
    StartupOptions options;
    options.DesktopStart = QCoreApplication::arguments().contains(QLatin1String(DesktopStartArgument));
    return RunMainWindow(options);
}
