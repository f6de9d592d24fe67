// TKZFTP: construction, reply reading, log-in and log-out.
#include "ftp/TKZFTP.h"

#include "sock/SecretText.h"

namespace {

// The number formed by the leading decimal digits of a reply line (at most
// ten of them), 0 when it has none.
int64_t LeadingNumber(const std::string& line)
{
    int64_t value = 0;
    for (size_t i = 0; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i)
        value = value * 10 + (line[i] - '0');
    return value;
}

// A reply goes on after line when line begins with a blank or carries '-'
// as its fourth character (a line shorter than four characters ends the
// reply unless it begins with a blank).
bool ReplyContinues(const std::string& line)
{
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

bool Refused(int64_t code) { return code > 400 && code < 600; }

} // namespace

TKZFTP::TKZFTP(QObject* owner) : TKZSock(owner)
{
    Port = 21;
    Vendor = DefaultVendor;
    // Replies are read when the dialogue asks for them, never on arrival.
    OnDataAvailable = [](QObject*) {};
}

TKZFTP::~TKZFTP()
{
    Cancel();
    // The socket component's destructor cannot reach this class's Abort any
    // more, so the data connection is cancelled here.
    Abort();
    FDataConnection.reset();
}

// --- Reply reading ----------------------------------------------------------

// Runs one wait of the control connection. The time-out timer ends such a
// wait through Abort (which cancels it); the abort is then reported as a
// time-out of the server's reply, and the connection is marked out of step.
void TKZFTP::ControlWait(const std::function<void()>& body)
{
    // After a stop nothing more is said to or awaited from the server.
    if (FStopped)
        throw EAbortError(StoppedText);
    try {
        body();
    } catch (const EAbortError&) {
        if (FStopped)
            throw EAbortError(StoppedText);
        if (!FTimedOut)
            throw;
        FControlBroken = true;
        throw EAbortError(ReplyTimedOutText);
    } catch (const ESockError&) {
        // A connection that failed (a reset) is out of step as well.
        FControlBroken = true;
        throw;
    }
}

void TKZFTP::ReadControlLine(std::string& line)
{
    ControlWait([&] { ReadLn(line); });
}

void TKZFTP::FirstReplyLine(const std::string& command, std::string& reply)
{
    ControlWait([&] { TKZSock::Transaction(command, reply); });
}

// ReadLn answers an empty line only when the server has closed the
// connection (a real line carries at least its LF).
void TKZFTP::ExpectOpen(const std::string& line)
{
    if (line.empty()) {
        FControlBroken = true;
        throw ESockError(ClosedText);
    }
}

void TKZFTP::ContinueReply(std::string& line, std::string* firstRead)
{
    bool first = true;
    while (ReplyContinues(line)) {
        ReadControlLine(line);
        ExpectOpen(line);
        ReportStatus(1, line);
        if (first && firstRead)
            *firstRead = line;
        first = false;
    }
}

void TKZFTP::ReadContinuationLines(std::string& line)
{
    ContinueReply(line, nullptr);
}

void TKZFTP::Transaction(const std::string& command, std::string& reply)
{
    FirstReplyLine(command, reply);
    ExpectOpen(reply);
    std::string line = reply;
    ContinueReply(line, nullptr);
    // A restart point moves where the next download's data begins, so the
    // size its 150 reply announces is reached that much earlier.
    if (command.size() > 5 && (command.compare(0, 5, "REST ") == 0 || command.compare(0, 5, "rest ") == 0)) {
        FRestOffset = 0;
        if (ReplyNumber() == 350) {
            int64_t offset = 0;
            size_t i = 5;
            for (; i < command.size() && i < 5 + 18 && command[i] >= '0' && command[i] <= '9'; ++i)
                offset = offset * 10 + (command[i] - '0');
            // An offset this end cannot read leaves the count unknown.
            FRestOffset = i == command.size() ? offset : -1;
        }
    }
}

void TKZFTP::DropStaleInput()
{
    if (DataAvailable()) {
        std::string stale;
        Read(0, stale);
    }
}

// --- Connect, Disconnect, Abort ---------------------------------------------

void TKZFTP::RefuseConnect(const std::string& line)
{
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    throw FTPException(line);
}

void TKZFTP::Connect()
{
    FCanceled = false;
    FStopped = false;
    if (Connected())
        return;
    TKZSock::Connect();
    FControlBroken = false;
    FEpsvRefused = false;
    try {
        // Greeting: start from a line of one blank so that at least one line
        // is read; its code is that of its first line.
        std::string line = " ";
        std::string firstLine;
        ContinueReply(line, &firstLine);
        if (LeadingNumber(firstLine) > 400)
            RefuseConnect(line);
        if (Security.Mode != TTlsMode::Off)
            SecureControlConnection();

        std::string reply;
        if (FWAuthenticate) {
            Transaction("USER " + FWUserID, reply);
            if (Refused(ReplyNumber()))
                RefuseConnect(reply);
            if (ReplyNumber() == 331) {
                ReportStatus(1, "PASS ");
                Transaction("PASS " + FWPassword, reply);
                if (Refused(ReplyNumber()))
                    RefuseConnect(reply);
            }
        }

        if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
            bool handled = false;
            OnAuthenticationNeeded(handled);
        }

        if (!Proxy.empty()) {
            switch (FirewallType) {
            case FTUser: Transaction("USER " + UserID + "@" + Host, reply); break;
            case FtOpen: Transaction("OPEN " + Host, reply); break;
            case FtSite: Transaction("SITE " + Host, reply); break;
            }
        }
        std::string userCommand;
        if (Proxy.empty() || FirewallType != FTUser) {
            userCommand = "USER " + UserID;
            ReportStatus(1, userCommand);
            Transaction(userCommand, reply);
            if (Refused(ReplyNumber()))
                RefuseConnect(reply);
        }
        if (ReplyNumber() == 331)
            SendPassword(userCommand, reply);
        if (Security.Mode != TTlsMode::Off)
            ProtectDataConnections();
        if (OnConnect)
            OnConnect(this);
    } catch (...) {
        // Log out; a failure of the log-out itself replaces the first one.
        Disconnect();
        ReportStatus(1, "Disconnected");
        throw;
    }
}

// Answers a 331. A password asked for through OnPasswordNeeded that the
// server refuses with 530 is asked for again after USER again (the server
// expects USER after a refusal); the command holding it is wiped once sent.
// userCommand is empty when the proxy's USER named the user.
void TKZFTP::SendPassword(const std::string& userCommand, std::string& reply)
{
    const bool ask = Password.empty() && OnPasswordNeeded;
    for (int attempt = 1;; ++attempt) {
        std::string command = "PASS ";
        if (ask) {
            std::string password;
            const bool given = OnPasswordNeeded(attempt > 1, password);
            command += password;
            WipeSecret(password);
            if (!given) {
                // Cancelled: as a stop, nothing more is said to the server.
                WipeSecret(command);
                if (!FStopped)
                    Stop();
                throw EAbortError(StoppedText);
            }
        } else {
            command += Password;
        }
        ReportStatus(1, "PASS ");
        try {
            Transaction(command, reply);
        } catch (...) {
            WipeSecret(command);
            throw;
        }
        WipeSecret(command);
        if (!Refused(ReplyNumber()))
            return;
        if (!ask || ReplyNumber() != 530 || attempt >= PasswordAsks || userCommand.empty())
            RefuseConnect(reply);
        ReportStatus(1, userCommand);
        Transaction(userCommand, reply);
        if (Refused(ReplyNumber()))
            RefuseConnect(reply);
        if (ReplyNumber() != 331)
            return;
    }
}

void TKZFTP::Disconnect()
{
    FCanceled = false;
    if (!Connected())
        return;
    Vendor = DefaultVendor;
    if (FControlBroken) {
        // A reply is missing or the server has gone: QUIT would only wait
        // for another time-out or read a late reply as its own.
        FControlBroken = false;
        TKZSock::Disconnect();
        return;
    }
    ReportStatus(1, "QUIT");
    std::string reply;
    int64_t code = 0;
    std::exception_ptr failure;
    try {
        DropStaleInput();
        FirstReplyLine("QUIT", reply);
        // A server that closes without answering QUIT has logged out too.
        if (!reply.empty()) {
            code = ReplyNumber();
            std::string line = reply;
            ContinueReply(line, nullptr);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    FControlBroken = false;
    TKZSock::Disconnect();
    if (failure)
        std::rethrow_exception(failure);
    if (code >= 301 && code <= 599)
        throw FTPException(reply);
}

void TKZFTP::Cancel()
{
    TKZSock::Cancel();
    if (FDataConnection)
        FDataConnection->Cancel();
}

void TKZFTP::Abort()
{
    if (FDataConnection)
        FDataConnection->Cancel();
    // The time-out timer sets TimedOut before it calls Abort: then a wait of
    // the control connection is running and must end too.
    if (FTimedOut)
        Cancel();
}
