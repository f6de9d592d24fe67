#include "app/FetchTrace.h"

#include "ftp/TKZFTP.h"

#include <algorithm>

FetchTrace::FetchTrace(TKZFTP& ftp) : FFtp(ftp), FOldReportLevel(ftp.ReportLevel)
{
    FFtp.ReportLevel = std::max(FFtp.ReportLevel, 1);
    FFtp.OnStatus = [this](QObject*, const std::string& text) { Status(text); };
    FFtp.OnConnectionFailed = [this](QObject*) {
        // Fired right before a refusal of the greeting or log-in is thrown
        // (the log-out that follows may replace it), and before a failed
        // connection attempt, whose own exception carries its message.
        if (FFtp.Connected() && FFirstFailure.empty())
            FFirstFailure = FLastReplyLine;
    };
    FFtp.OnInvalidHost = [this](bool& handled) {
        // The look-up failed; the component goes on to fail with "Null
        // Remote Address", which hides why.
        handled = false;
        if (FFirstFailure.empty())
            FFirstFailure = "Host Lookup Failed: " + FFtp.Host;
    };
}

FetchTrace::~FetchTrace()
{
    FFtp.OnStatus = nullptr;
    FFtp.OnConnectionFailed = nullptr;
    FFtp.OnInvalidHost = nullptr;
    FFtp.ReportLevel = FOldReportLevel;
}

void FetchTrace::Status(const std::string& text)
{
    // Level 1 carries the reply lines and a few texts of the component's
    // own: the commands of the log-in and log-out, and "Disconnected".
    if (text.starts_with("USER ") || text.starts_with("PASS ")) {
        FLogInStarted = true;
        return;
    }
    if (text == "QUIT" || text == "Disconnected")
        return;
    FLastReplyLine = text;
}
