// wisplog's command line, read before the application object exists so that
// --help, --version and a mistyped option work without a display. The usage
// text and the manual page are both generated from packaging/wisplog.1.txt.
#pragma once

#include <cstdio>
#include <string>

struct CommandLine {
    enum class TAction { Run, Help, Version, Error };

    TAction Action = TAction::Run;
    // --desktop: started from the desktop entry.
    bool DesktopStart = false;
    // For TAction::Error: one line saying what is wrong, without a line break.
    std::string Error;
};

// Reads the program's arguments (argv[0] is the program). Qt's own options
// and their values are accepted and left for the application object; the
// first --help or --version ends the reading. Does not wait; throws nothing.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// Prints what a command line other than Run asks for: the usage or the
// version on out, or the error line and the usage on err. Returns the exit
// status: 0, or 2 for an error. Does not wait; throws nothing.
int ReportCommandLine(const CommandLine& commandLine, std::FILE* out, std::FILE* err);
