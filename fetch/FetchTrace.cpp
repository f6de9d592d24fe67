#include "fetch/FetchTrace.h"

#include "ftp/TKZFTP.h"

#include <algorithm>

FetchTrace::FetchTrace(TKZFTP& ftp)
    : FFtp(ftp),
      FOldReportLevel(ftp.ReportLevel),
      FOldStatus(ftp.OnStatus),
      FOldConnectionFailed(ftp.OnConnectionFailed),
      FOldInvalidHost(ftp.OnInvalidHost)
{
    FFtp.ReportLevel = std::max(FFtp.ReportLevel, 1);
    FFtp.OnStatus = [this](QObject* sender, const std::string& text) {
        Status(text);
        // The owner's handler gets what its own level let through before.
        if (FOldStatus && FOldReportLevel >= 1)
            FOldStatus(sender, text);
    };
    FFtp.OnConnectionFailed = [this](QObject* sender) {
        // Fired right before a refusal of the greeting or log-in is thrown
        // (the log-out that follows may replace it), and before a failed
        // connection attempt, whose own exception carries its message.
        if (FFtp.Connected() && FFirstFailure.empty())
            FFirstFailure = FLastReplyLine;
        if (FOldConnectionFailed)
            FOldConnectionFailed(sender);
    };
    FFtp.OnInvalidHost = [this](bool& handled) {
        if (FOldInvalidHost)
            FOldInvalidHost(handled);
        // Unsettled, the look-up failure ends as "Null Remote Address",
        // which hides why.
        if (!handled && FFirstFailure.empty())
            FFirstFailure = "Host Lookup Failed: " + FFtp.Host;
    };
}

FetchTrace::~FetchTrace()
{
    FFtp.OnStatus = FOldStatus;
    FFtp.OnConnectionFailed = FOldConnectionFailed;
    FFtp.OnInvalidHost = FOldInvalidHost;
    FFtp.ReportLevel = FOldReportLevel;
}

void FetchTrace::Status(const std::string& text)
{
    // Level 1 carries the reply lines and a few texts of the component's
    // own: the commands of the log-in and log-out, and "Disconnected".
    if (text.starts_with("USER ") || text.starts_with("PASS ")) {
        const bool first = !FLogInStarted;
        FLogInStarted = true;
        if (first && OnLogInStarted)
            OnLogInStarted();
        return;
    }
    if (text == "QUIT" || text == "Disconnected")
        return;
    FLastReplyLine = text;
}
