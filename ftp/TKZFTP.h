// TKZFTP: the FTP client component. Its own socket (the base TKZSock) is the
// control connection; on top of the line-oriented socket it reads multi-line
// replies, logs in (directly or through a proxy with one of three firewall
// schemes), sends single commands and moves files over a second TKZSock per
// transfer (passive: EPSV or PASV and dial; active: listen, EPRT or PORT and
// accept).
//
// Every operation waits inside the Qt event loop of the calling thread, like
// the socket component; failures are exceptions (FTPException for a refused
// reply, carrying the reply line with its line end, and the socket
// component's ESockError / EAbortError / Exception).
#pragma once

#include "ftp/FTPException.h"
#include "sock/TKZSock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Proxy log-in scheme (ignored while Proxy is empty).
enum TFirewallType : uint8_t { FTUser = 0, FtOpen = 1, FtSite = 2 };

// The kind of operation that OnSuccess, OnFailure and OnUnSupportedFunction
// report. Values 4 to 8 and 10 to 13 are never produced by this component.
enum TCmdType : uint8_t {
    ctChangeDir = 0,
    ctMakeDir = 1,
    ctDelete = 2,
    ctRemoveDir = 3,
    ctTransfer = 9,
    ctOther = 14,
    ctPrintDir = 15,
};

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TKZListItem = std::function<void(const std::string& Listing)>;
// The password for a log-in whose Password is empty: refused says the
// server refused the previous answer. False cancels the log-in.
using TPasswordEvent = std::function<bool(bool refused, std::string& password)>;

class TKZFTP : public TKZSock {
    Q_OBJECT
public:
    // The value Vendor has after construction and after every Disconnect.
    static constexpr int DefaultVendor = 2411;
    // Message of the failure that ends a control-connection wait (a reply
    // or a command send) after TimeOut milliseconds without progress.
    static constexpr const char* ReplyTimedOutText = "Server Reply Timed Out";
    // Message of the failure when the server closes the control connection
    // while a reply (or the rest of one) is awaited.
    static constexpr const char* ClosedText = "Connection Closed By Server";
    // Message of the failure of every control-connection wait after Stop.
    static constexpr const char* StoppedText = "Stopped";
    // Message of the failure of a transfer ended by Cancel or Abort.
    static constexpr const char* CanceledText = "Transfer canceled";
    // Message of the failure of a protected download whose data connection
    // ended with a plain TCP close instead of the server's close_notify:
    // the end of the data cannot be told from a close forged on the path.
    static constexpr const char* NoTlsClosureText = "Data connection ended without TLS closure";

    // Port 21, no data connection, Vendor 2411. Throws as TKZSock.
    explicit TKZFTP(QObject* owner = nullptr);
    // Cancels and aborts the running data connection; does not wait.
    ~TKZFTP() override;

    // --- Published properties (Host, Port, TimeOut, ReportLevel, Proxy and
    // ProxyPort are the socket component's) --------------------------------
    std::string UserID;
    std::string Password;             // never appears in any status text
    bool Passive = false;             // true: EPSV/PASV and dial; false: EPRT/PORT and accept
    TFirewallType FirewallType = FTUser;
    std::string FWUserID;
    std::string FWPassword;
    bool FWAuthenticate = false;      // log in to the firewall first
    int Vendor = DefaultVendor;       // set back to 2411 by Disconnect; not read here
    bool ParseList = false;           // stored only
    // Bytes the next RetrieveFile must at least receive (the SIZE answer,
    // less a REST offset); -1: only the count of the server's 150 reply is
    // checked. Fewer bytes fail the download, more are growth and accepted.
    // Set back to -1 when RetrieveFile or StoreFile ends, however it ends.
    int64_t ExpectedSize = -1;
    // Off: plain FTP. Verify or Pin: explicit TLS (AUTH TLS, then PBSZ 0 and
    // PROT P after the log-in) on the control and every data connection, the
    // server's certificate checked as the mode says; never a fallback to
    // plain FTP.
    TTlsSecurity Security;

    // --- Events -------------------------------------------------------------
    // Fired once at the end of a successful Connect (Sender = this). Hides the
    // socket-level OnConnect of TKZSock, which this component does not use.
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationNeeded;  // UserID or Password empty at log-in
    THandlerEvent OnAuthenticationFailed;  // never fired by this component
    TNotifyEvent OnTransactionStart;       // data phase of a transfer begins
    TNotifyEvent OnTransactionStop;        // data phase ended
    TFailureEvent OnFailure;               // a command or transfer failed
    TSuccessEvent OnSuccess;               // a command or transfer completed
    TUnsupportedEvent OnUnSupportedFunction; // reply code 500 to 502
    TKZListItem OnListItem;                // never fired by this component
    // Asked after a 331 when Password is empty; an answer the server
    // refuses with 530 is asked for again (USER sent again), at most
    // PasswordAsks times in all. Its answers are wiped after use.
    TPasswordEvent OnPasswordNeeded;
    static constexpr int PasswordAsks = 3;

    // --- Control connection and log-in ------------------------------------
    // Opens the control connection and logs in; waits. Nothing when already
    // connected. Throws the socket's connect failures unchanged, else (after
    // logging out again) FTPException with the refused reply line, or the
    // failure that ended the dialogue; EAbortError StoppedText when
    // OnPasswordNeeded cancels (nothing more is sent: the component stops).
    void Connect() override;
    // Sends QUIT and closes the control connection; waits. Nothing when not
    // connected. Throws FTPException (reply 301..599) after closing.
    void Disconnect() override;
    // Sends command and reads its whole reply; reply := its first line (line
    // end included), ReplyNumber its code; waits. Throws EAbortError
    // ReplyTimedOutText, ESockError ClosedText, or the socket's failures.
    void Transaction(const std::string& command, std::string& reply) override;
    // Cancels the running data connection, if any; does not wait. Called by
    // the time-out, it also ends the control connection's own wait.
    void Abort() override;
    // Ends the running wait of the control connection and of the data
    // connection; a transfer it interrupts fails with CanceledText. Does not
    // wait, does not throw.
    void Cancel() override;

    // --- Stopping (TKZFTPStop.cpp) ------------------------------------------
    // The user's stop: ends the running wait of the control and the data
    // connection at once (look-up, connect, reply, data, accept); from then
    // on every control-connection wait fails at once with EAbortError
    // StoppedText, ABOR and QUIT included, and Disconnect closes without
    // QUIT. Cleared by the next Connect. Does not wait, does not throw.
    void Stop();
    // True from Stop until the next Connect.
    bool Stopped() const { return FStopped; }

    // --- Single commands --------------------------------------------------
    // Sends one command line and reports the outcome through OnSuccess,
    // OnUnSupportedFunction and OnFailure; waits. Throws Exception "Not
    // Connected", FTPException (reply 400..599 not handled by OnFailure),
    // or the socket's failures.
    void SendCommand(const std::string& command);
    // SendCommand("CWD " + directory); waits; throws as SendCommand.
    void ChangeWorkingDir(const std::string& directory);
    // 1 "TYPE A", 2 "TYPE I", 3 "TYPE L 8", anything else sends nothing;
    // waits; throws as SendCommand.
    void SetTransferType(int transferType);
    // The TCmdType that a command line is reported with. Does not throw.
    static TCmdType CommandType(const std::string& command);

    // --- Transfers ----------------------------------------------------------
    // Downloads remoteName into localName (empty: remoteName); waits. The
    // local file is created or truncated only when the data phase starts.
    // Completes only on a 2xx final reply, with at least the bytes announced
    // (ExpectedSize, the count in the 150 reply less a REST offset) and, on
    // a protected data connection, the server's close_notify. Throws
    // FTPException (a refused reply, a final reply other than 2xx),
    // ESockError "Transfer ended early: <got> of <announced> bytes",
    // NoTlsClosureText, EAbortError CanceledText, StoppedText, "Data
    // connection silent for <n> s", the socket's failures (a failed data
    // connection, ClosedText, ReplyTimedOutText), file and conversion
    // errors, unless OnFailure sets Handled.
    void RetrieveFile(const std::string& remoteName, const std::string& localName);
    // Uploads localName as remoteName (empty: the local file-name part);
    // waits. Throws as RetrieveFile.
    void StoreFile(const std::string& localName, const std::string& remoteName);

    // The data connection of the running transfer (nullptr between transfers).
    TKZSock* DataConnection() const { return FDataConnection.get(); }
    // Held for the whole of a transfer.
    std::recursive_mutex& TransferLock() { return FTransferLock; }

protected:
    // Reads the rest of a multi-line reply whose line so far is line: while
    // line begins with a blank or has '-' as its fourth character, line :=
    // the next line, reported at level 1. Throws as Transaction.
    void ReadContinuationLines(std::string& line);

private:
    void ControlWait(const std::function<void()>& body);
    void ReadControlLine(std::string& line);
    void FirstReplyLine(const std::string& command, std::string& reply);
    void ExpectOpen(const std::string& line);
    void ContinueReply(std::string& line, std::string* firstRead);
    [[noreturn]] void RefuseConnect(const std::string& line);
    void SendPassword(const std::string& userCommand, std::string& reply);
    void DropStaleInput();
    void FailureReport(const std::string& line, TCmdType type, bool unsupported);
    void SecureControlConnection();
    void ProtectDataConnections();
    void SecureDataConnection();
    void RunTransfer(bool download, const std::function<bool()>& body);
    bool OpenDataConnection();
    bool OpenPassive(bool ipv6);
    bool OpenActive(bool ipv6);
    void AcceptDataConnection();
    std::string FinalReply(std::string& line);
    void SettleAfterFailedDataPhase();
    void RunDataPhase(const std::function<void()>& phase);
    void MoveData(bool download, const std::function<void()>& move);
    void CheckNotCanceled();
    bool Retrieve(const std::string& remoteName, const std::string& localName);
    bool Store(const std::string& localName, const std::string& remoteName);

    std::unique_ptr<TKZSock> FDataConnection;
    std::recursive_mutex FTransferLock;
    // The control connection timed out or was closed by the server in the
    // middle of the dialogue: it is out of step, so Disconnect closes it
    // without sending QUIT. Cleared by Connect.
    bool FControlBroken = false;
    // Stop was called; cleared by Connect.
    bool FStopped = false;
    // The server answered EPSV with a 5xx reply: passive mode asks with PASV
    // for the rest of the session. Cleared by Connect.
    bool FEpsvRefused = false;
    // The offset of a REST the server accepted (350), for the next transfer;
    // -1 when the offset could not be read.
    int64_t FRestOffset = 0;
};

// The byte count that a RETR reply line announces: the run of digits that
// comes last before the first "BYTE" (any letter case); 0 when there is no
// "BYTE", no digit before it, or the run does not fit 63 bits. Does not throw.
int64_t SizeFromReply(const std::string& line);
