// What the FTP component says while a fetch logs in, kept so that the fetch
// can name the first failure even where the component's exception carries
// a later one: a failed host look-up ends as "Null Remote Address", and a
// failed log-out after a refused log-in replaces the server's refusal.
#pragma once

#include "sock/TKZSock.h"

#include <functional>
#include <string>

class TKZFTP;

class FetchTrace {
public:
    // Listens to the component's level-1 status texts (commands and reply
    // lines), its connection failures and its invalid-host event until
    // destroyed, passing them on to the handlers the owner had attached;
    // raises ReportLevel to 1 meanwhile. Does not throw.
    explicit FetchTrace(TKZFTP& ftp);
    // Puts back the owner's handlers and ReportLevel.
    ~FetchTrace();
    FetchTrace(const FetchTrace&) = delete;
    FetchTrace& operator=(const FetchTrace&) = delete;

    // True once the user name has gone out: a failure from then on is the
    // log-in's, before it the connection's.
    bool LogInStarted() const { return FLogInStarted; }
    // Called once, when the user name goes out.
    std::function<void()> OnLogInStarted;
    // The message of the first failure that the component's exception may
    // not carry: the server's line that refused the greeting or the log-in,
    // or the failed look-up of the host. Empty when there was none.
    const std::string& FirstFailure() const { return FFirstFailure; }

private:
    void Status(const std::string& text);

    TKZFTP& FFtp;
    int FOldReportLevel;
    TOnStatus FOldStatus;
    TNotifyEvent FOldConnectionFailed;
    THandlerEvent FOldInvalidHost;
    bool FLogInStarted = false;
    std::string FLastReplyLine;
    std::string FFirstFailure;
};
