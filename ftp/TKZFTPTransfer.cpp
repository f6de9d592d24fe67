// TKZFTP: downloads and uploads over a passive or active data connection.
#include "ftp/TKZFTP.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool ReplyContinues(const std::string& line)
{
    return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

// A decimal integer: optional leading blanks, an optional sign, digits and
// nothing else; anything else is a conversion error.
int64_t StrToInt(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    const size_t digits = i;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i - digits < 10; ++i)
        value = value * 10 + (text[i] - '0');
    if (i == digits || i != text.size())
        throw Exception("'" + text + "' is not a valid integer value");
    return negative ? -value : value;
}

// Size of a local file to upload; a file that cannot be opened fails here,
// before anything is sent.
int64_t LocalFileSize(const std::string& fileName)
{
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw Exception("Cannot open file \"" + fileName + "\". " + reason);
    }
    ::close(fd);
    return int64_t(st.st_size);
}

// A time-out in milliseconds as seconds: "10 s", "0.8 s", "1.25 s".
std::string SecondsText(int milliseconds)
{
    std::string text = std::to_string(milliseconds / 1000);
    int fraction = milliseconds % 1000;
    if (fraction != 0) {
        std::string digits = std::to_string(1000 + fraction).substr(1);
        while (digits.back() == '0')
            digits.pop_back();
        text += "." + digits;
    }
    return text + " s";
}

// The file-name part of a local path: the text after its last '/'.
std::string FileNamePart(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The port of an extended passive reply, "229 ... (|||port|)": any
// character from '!' to '~' may stand for '|'. Throws Exception when the
// reply carries no valid port.
int EpsvPort(const std::string& reply)
{
    const size_t open = reply.find('(');
    const std::string shown = open == std::string::npos ? reply : reply.substr(open);
    auto invalid = [&] {
        std::string text = shown.substr(0, shown.find_first_of("\r\n"));
        return Exception("'" + text + "' is not a valid port");
    };
    if (open == std::string::npos || reply.size() < open + 5)
        throw invalid();
    const char d = reply[open + 1];
    if (d < '!' || d > '~' || (d >= '0' && d <= '9') || reply[open + 2] != d || reply[open + 3] != d)
        throw invalid();
    size_t i = open + 4;
    int64_t port = 0;
    const size_t digits = i;
    for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && i - digits < 6; ++i)
        port = port * 10 + (reply[i] - '0');
    if (i == digits || i >= reply.size() || reply[i] != d || port < 1 || port > 65535)
        throw invalid();
    return int(port);
}

} // namespace

void TKZFTP::RetrieveFile(const std::string& remoteName, const std::string& localName)
{
    RunTransfer(true, [&] { return Retrieve(remoteName, localName); });
}

void TKZFTP::StoreFile(const std::string& localName, const std::string& remoteName)
{
    RunTransfer(false, [&] { return Store(localName, remoteName); });
}

// The frame of every transfer: connection check, lock, data connection,
// the transfer's own steps, then the clean-up in its fixed order (data
// connection destroyed, lock released, ABOR after a cancelled download,
// OnSuccess), and any failure offered to OnFailure. body answers whether the
// transfer completed (false: a refusal that OnFailure took).
//
// A transfer started from an event handler while another one waits (the
// lock is re-entrant) gets a data connection of its own; the waiting
// transfer's connection is set aside and put back afterwards, so the
// outer transfer never finds its connection destroyed under it.
void TKZFTP::RunTransfer(bool download, const std::function<bool()>& body)
{
    bool completed = false;
    // The expected size and restart point belong to this transfer only.
    struct Reset {
        TKZFTP& Ftp;
        ~Reset()
        {
            Ftp.ExpectedSize = -1;
            Ftp.FRestOffset = 0;
        }
    } reset{*this};
    try {
        FCanceled = false;
        CheckConnection();
        FTransferLock.lock();
        std::unique_ptr<TKZSock> outer = std::move(FDataConnection);
        std::exception_ptr failure;
        try {
            DropStaleInput();
            FDataConnection = std::make_unique<TKZSock>(this);
            FDataConnection->TimeOut = TimeOut;
            if (download && OnPacketRecvd)
                FDataConnection->OnPacketRecvd = OnPacketRecvd;
            if (!download && OnPacketSent)
                FDataConnection->OnPacketSent = OnPacketSent;
            completed = body();
        } catch (...) {
            failure = std::current_exception();
        }
        FDataConnection = std::move(outer);
        FTransferLock.unlock();
        if (download && FCanceled) {
            FCanceled = false;
            // The server's answer to ABOR is not evaluated, and a failure
            // to deliver it must not hide the transfer's own outcome.
            try {
                std::string reply;
                Transaction("ABOR", reply);
            } catch (const Exception&) {
            }
        }
        if (failure)
            std::rethrow_exception(failure);
    } catch (...) {
        if (!OnFailure)
            throw;
        bool handled = false;
        OnFailure(handled, ctTransfer);
        if (!handled)
            throw;
        return;
    }
    if (completed && OnSuccess)
        OnSuccess(ctTransfer);
}


// Opens the data connection in the form the control connection's family
// asks for: over IPv6 EPSV (passive) or EPRT (active) only; over IPv4 EPSV
// first, PASV once the server has refused EPSV in this session, and PORT.
// False when the server refused and OnFailure took the failure.
bool TKZFTP::OpenDataConnection()
{
    const bool ipv6 = PeerAddress().Family() == AF_INET6;
    return Passive ? OpenPassive(ipv6) : OpenActive(ipv6);
}

// Passive mode: ask for a port, then dial it at the control connection's
// peer (at Host when a proxy stands in between).
bool TKZFTP::OpenPassive(bool ipv6)
{
    std::string reply;
    int64_t port = 0;
    if (ipv6 || !FEpsvRefused) {
        Transaction("EPSV", reply);
        if (!ipv6 && ReplyNumber() >= 500 && ReplyNumber() <= 599) {
            // A server that does not know EPSV is not asked again until the
            // next Connect.
            FEpsvRefused = true;
        } else if (ReplyNumber() >= 400) {
            FailureReport(reply, ctTransfer, false);
            return false;
        } else {
            port = EpsvPort(reply);
        }
    }
    if (port == 0) {
        Transaction("PASV", reply);
        if (ReplyNumber() > 499) {
            FailureReport(reply, ctTransfer, false);
            return false;
        }
        std::string p1Text, p2Text;
        NthField(reply, ',', 6, p2Text);
        p2Text = p2Text.substr(0, p2Text.find(')'));
        NthField(reply, ',', 5, p1Text);
        const int64_t p1 = StrToInt(p1Text);
        const int64_t p2 = StrToInt(p2Text);
        port = p1 * 256 + p2;
        if (p1 < 0 || p1 > 255 || p2 < 0 || p2 > 255 || port == 0)
            throw Exception("'" + p1Text + "," + p2Text + "' is not a valid port");
    }
    // The address in a PASV reply is not used: the data connection goes to
    // the server the control connection is connected to.
    FDataConnection->Port = int(port);
    FDataConnection->Host = Proxy.empty() ? PeerAddress().HostText() : Host;
    FDataConnection->Connect();
    return true;
}

// Active mode: listen and announce the address with EPRT (IPv6) or PORT.
bool TKZFTP::OpenActive(bool ipv6)
{
    // The server's connection is taken on the address the server knows
    // this end by, and only from the server's own address.
    const TSockAddress local = LocalAddress();
    FDataConnection->Port = 0;
    FDataConnection->ListenAddress = local;
    FDataConnection->AcceptPeer = PeerAddress();
    FDataConnection->Listen(true);
    std::string reply;
    if (ipv6) {
        // The zone of a link-local address means nothing to the server.
        std::string address = local.HostText();
        address = address.substr(0, address.find('%'));
        Transaction("EPRT |2|" + address + "|" + std::to_string(FDataConnection->LocalAddress().Port()) + "|",
                    reply);
    } else {
        std::string address, port;
        LocalAddressText(address);
        FDataConnection->LocalPortText(port);
        Transaction("PORT " + address + port, reply);
    }
    if (ReplyNumber() >= 301 && ReplyNumber() <= 599) {
        FailureReport(reply, ctTransfer, false);
        return false;
    }
    return true;
}

// Active mode: takes the server's connection in place of the listening
// socket (bounded by TimeOut in the socket component).
void TKZFTP::AcceptDataConnection()
{
    const int accepted = FDataConnection->Accept();
    FDataConnection->AdoptAcceptedSocket(accepted);
}

// Reads and reports the final reply after the data phase. Only a 2xx reply
// completes the transfer: the answer is its first line when the server
// reports anything else ("" when it is 2xx). A 1xx reply leaves another one
// owed, so the connection counts as out of step. A reply that never comes
// or a connection lost before it fails (time-out, closed). Skipped after a
// cancel or time-out of the control connection (the last reply line read is
// reported again).
std::string TKZFTP::FinalReply(std::string& line)
{
    if (FCanceled || FTimedOut) {
        ReportStatus(1, line);
        return {};
    }
    ReadControlLine(line);
    ExpectOpen(line);
    ReportStatus(1, line);
    std::string first = line;
    ContinueReply(line, nullptr);
    const bool threeDigits = first.size() >= 3 && std::isdigit(static_cast<unsigned char>(first[0])) &&
                             std::isdigit(static_cast<unsigned char>(first[1])) &&
                             std::isdigit(static_cast<unsigned char>(first[2]));
    if (threeDigits && first[0] == '2')
        return {};
    if (threeDigits && first[0] == '1')
        FControlBroken = true;
    return first;
}

// After a data phase that failed (an active-mode connection never made, a
// reset, a time-out, an abort, a file error) the server still owes the transfer's final reply: it is read and
// reported, so that it cannot later pass for the reply to the next command.
// The data connection is closed first, which makes the server end the
// transfer. When no reply comes within TimeOut the connection is out of
// step (QUIT is skipped). Nothing here replaces the data phase's failure.
void TKZFTP::SettleAfterFailedDataPhase()
{
    if (FDataConnection)
        FDataConnection->RequestCloseSocket();
    if (FCanceled || FTimedOut || !Connected())
        return;
    try {
        std::string line;
        ReadControlLine(line);
        ExpectOpen(line);
        ReportStatus(1, line);
        ContinueReply(line, nullptr);
    } catch (const Exception&) {
        FControlBroken = true;
    }
}

// Runs the data phase; a failure of it settles the control connection and
// is raised as it was.
void TKZFTP::RunDataPhase(const std::function<void()>& phase)
{
    try {
        phase();
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        SettleAfterFailedDataPhase();
        std::rethrow_exception(failure);
    }
}

// Moves the data (capture or send). A wait of the data connection that was
// ended is told apart by what ended it: the user's stop, the time-out (the
// connection was silent, or took nothing, for TimeOut), or a cancel.
void TKZFTP::MoveData(bool download, const std::function<void()>& move)
{
    RunDataPhase([&] {
        try {
            move();
        } catch (const EAbortError&) {
            if (FStopped)
                throw EAbortError(StoppedText);
            if (FDataConnection && FDataConnection->TimedOut())
                throw EAbortError(std::string(download ? "Data connection silent for "
                                                       : "Data connection stalled for ") +
                                  SecondsText(TimeOut));
            throw EAbortError(CanceledText);
        }
    });
}

// A transfer that Cancel, Abort or Stop interrupted outside a wait of the
// data connection (before the data moved, or right after) fails too; the
// final reply is settled as after any failed data phase.
void TKZFTP::CheckNotCanceled()
{
    const bool dataCanceled = FDataConnection && FDataConnection->Canceled();
    if (!FCanceled && !dataCanceled && !FTimedOut)
        return;
    SettleAfterFailedDataPhase();
    // The control connection's own timer may have ended it as well.
    throw EAbortError(FStopped ? StoppedText : FTimedOut ? ReplyTimedOutText : CanceledText);
}

bool TKZFTP::Retrieve(const std::string& remoteName, const std::string& localName)
{
    if (!OpenDataConnection())
        return false;
    ReportStatus(1, "RETR " + remoteName);
    FTransferSize = 0;
    std::string line;
    FirstReplyLine("RETR " + remoteName, line);
    ExpectOpen(line);
    if (ReplyNumber() >= 301 && ReplyNumber() <= 599) {
        FailureReport(line, ctTransfer, false);
        return false;
    }
    FTransferSize = SizeFromReply(line);
    while (ReplyContinues(line)) {
        ReadControlLine(line);
        ExpectOpen(line);
        ReportStatus(1, line);
        if (FTransferSize == 0)
            FTransferSize = SizeFromReply(line);
    }
    if (!Passive)
        RunDataPhase([this] { AcceptDataConnection(); });
    RunDataPhase([this] { SecureDataConnection(); });
    FTransferSize = SizeFromReply(line);

    // The least the data must bring: what the caller learnt (SIZE) or what
    // the server announced, from the restart point on.
    int64_t expected = ExpectedSize;
    if (FTransferSize > 0 && FRestOffset >= 0 && FTransferSize - FRestOffset > 0)
        expected = std::max(expected, FTransferSize - FRestOffset);

    if (OnTransactionStart)
        OnTransactionStart(this);
    // The local file is created (or truncated) only here, once the server
    // has accepted RETR and the data connection stands.
    if (!FCanceled && !FTimedOut)
        MoveData(true, [&] { FDataConnection->CaptureFile(localName.empty() ? remoteName : localName); });
    if (OnTransactionStop)
        OnTransactionStop(this);
    CheckNotCanceled();

    // Asked before the close, which ends the session.
    const bool protectedData = FDataConnection->Secure() || Security.Mode != TTlsMode::Off;
    const bool closedCleanly = FDataConnection->TlsClosedCleanly();
    FDataConnection->RequestCloseSocket();
    FTransferSize = FDataConnection->BytesRecvd();
    ReportStatus(1, "Received " + std::to_string(FTransferSize) + " Bytes");
    const std::string refused = FinalReply(line);
    if (OnTransactionStop)
        OnTransactionStop(this);
    if (!refused.empty())
        throw FTPException(refused);
    // Cancelled from the last OnTransactionStop: the reply is already read.
    if (FCanceled)
        throw EAbortError(FStopped ? StoppedText : CanceledText);
    // The server's 226 says only that it sent everything; whether all of it
    // arrived shows in the data connection's end and in the count.
    if (protectedData && !closedCleanly)
        throw ESockError(NoTlsClosureText);
    if (expected >= 0 && FTransferSize < expected)
        throw ESockError("Transfer ended early: " + std::to_string(FTransferSize) + " of " +
                         std::to_string(expected) + " bytes");
    return true;
}

bool TKZFTP::Store(const std::string& localName, const std::string& remoteName)
{
    FTransferSize = LocalFileSize(localName);
    if (!OpenDataConnection())
        return false;
    const std::string name = remoteName.empty() ? FileNamePart(localName) : remoteName;
    ReportStatus(1, "STOR " + (remoteName.empty() ? localName : remoteName));
    std::string reply;
    Transaction("STOR " + name, reply);
    if (ReplyNumber() >= 301 && ReplyNumber() <= 599) {
        FailureReport(reply, ctTransfer, true);
        return false;
    }
    if (!Passive)
        RunDataPhase([this] { AcceptDataConnection(); });
    RunDataPhase([this] { SecureDataConnection(); });

    if (OnTransactionStart)
        OnTransactionStart(this);
    if (!FCanceled && !FTimedOut)
        MoveData(false, [&] { FDataConnection->SendFile(localName); });
    if (OnTransactionStop)
        OnTransactionStop(this);
    CheckNotCanceled();

    // Every socket starts with lingering on and a time of 0, which would
    // reset the connection on close and lose data still in flight.
    FDataConnection->FinishTls();
    FDataConnection->SetLinger(false, 0);
    FDataConnection->RequestCloseSocket();
    const std::string refused = FinalReply(reply);
    if (!refused.empty())
        throw FTPException(refused);
    return true;
}
