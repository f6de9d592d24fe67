#include "app/CommandLine.h"

#include "profiles/InstalledUse.h"
#include "app/UsageText.h"

#include <array>
#include <string_view>

namespace {

// Options that QGuiApplication, QApplication and the X11 platform take from
// the command line, each with whether the next argument is its value. Qt
// accepts them with one dash or two.
struct QtOption {
    std::string_view Name;
    bool TakesValue;
};

constexpr std::array QtOptions{
    QtOption{"platform", true},
    QtOption{"platformpluginpath", true},
    QtOption{"platformtheme", true},
    QtOption{"plugin", true},
    QtOption{"qwindowgeometry", true},
    QtOption{"geometry", true},
    QtOption{"qwindowtitle", true},
    QtOption{"title", true},
    QtOption{"qwindowicon", true},
    QtOption{"icon", true},
    QtOption{"session", true},
    QtOption{"style", true},
    QtOption{"stylesheet", true},
    QtOption{"display", true},
    QtOption{"name", true},
    QtOption{"visual", true},
    QtOption{"reverse", false},
    QtOption{"widgetcount", false},
    QtOption{"nograb", false},
    QtOption{"dograb", false},
    QtOption{"sync", false},
    QtOption{"testability", false},
};

// Options Qt also takes in the form -name=value.
constexpr std::array QtValueForms{std::string_view("style="), std::string_view("stylesheet="),
                                  std::string_view("qmljsdebugger=")};

const QtOption* FindQtOption(std::string_view name)
{
    for (const QtOption& option : QtOptions)
        if (option.Name == name)
            return &option;
    return nullptr;
}

bool IsQtValueForm(std::string_view name)
{
    for (std::string_view form : QtValueForms)
        if (name.size() > form.size() && name.substr(0, form.size()) == form)
            return true;
    return false;
}

CommandLine Failed(std::string error)
{
    CommandLine result;
    result.Action = CommandLine::TAction::Error;
    result.Error = std::move(error);
    return result;
}

// An argument as it may be shown on the error line: control characters (a
// pasted line break, an escape sequence) are shown as '?', so the report
// stays one line and cannot drive the terminal.
std::string Shown(std::string_view argument)
{
    std::string shown(argument);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "'" + shown + "'";
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv)
{
    CommandLine result;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i] ? argv[i] : "";
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-")
            return Failed("unexpected argument " + Shown(argument));
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            result.Action = CommandLine::TAction::Help;
            return result;
        } else if (argument == "--version") {
            result.Action = CommandLine::TAction::Version;
            return result;
        } else if (argument == DesktopStartArgument) {
            result.DesktopStart = true;
        } else {
            const std::string_view name = argument.substr(argument.substr(0, 2) == "--" ? 2 : 1);
            const QtOption* qtOption = FindQtOption(name);
            if (qtOption == nullptr && !IsQtValueForm(name))
                return Failed("unknown option " + Shown(argument));
            if (qtOption != nullptr && qtOption->TakesValue && ++i >= argc)
                return Failed("option " + Shown(argument) + " needs a value");
        }
    }
    return result;
}

int ReportCommandLine(const CommandLine& commandLine, std::FILE* out, std::FILE* err)
{
    if (commandLine.Action == CommandLine::TAction::Error) {
        std::fprintf(err, "wisplog: %s\n", commandLine.Error.c_str());
        std::fputs(UsageText, err);
        std::fflush(err);
        return 2;
    }
    if (commandLine.Action == CommandLine::TAction::Run)
        return 0;
    // A summary that could not be written (a full disk, a closed pipe) is a
    // failure, not a success.
    std::fputs(commandLine.Action == CommandLine::TAction::Help ? UsageText : VersionText, out);
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
}
