#include "app/CommandLine.h"
#include "profiles/InstalledUse.h"
#include "app/Startup.h"
#include "app/WisplogApplication.h"

int main(int argc, char** argv)
{
    // Read before the application object exists: --help and --version need
    // no display, and a mistyped option ends before a window could open.
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    if (commandLine.Action != CommandLine::TAction::Run)
        return ReportCommandLine(commandLine, stdout, stderr);
    WisplogApplication app(argc, argv);
    StartupOptions options;
    options.DesktopStart = commandLine.DesktopStart;
    const int status = RunMainWindow(options);
    EndIfLookupsRun(status);
    return status;
}
