// TKZSock: one non-blocking TCP socket (IPv4 or IPv6) with blocking-style operations
// (connect, line and block I/O, file streaming, listen and accept) that wait
// inside the Qt event loop of the calling (user-interface) thread, so the
// window and every other event stay live while they wait. Waits block until
// something arrives; they never spin.
#pragma once

#include "sock/Exception.h"
#include "sock/NthField.h"
#include "sock/TInputBuffer.h"
#include "sock/TThreadTimer.h"
#include "sock/TlsSession.h"

#include <QElapsedTimer>
#include <QObject>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QHostInfo;

// An IPv4 or IPv6 socket address with its port, or none (family AF_UNSPEC).
class TSockAddress {
public:
    TSockAddress() = default;
    // The address a socket call filled in; none when the family is neither
    // IPv4 nor IPv6.
    TSockAddress(const sockaddr* address, socklen_t length);
    // An IPv4 address in network order.
    static TSockAddress IPv4(uint32_t address, int port = 0);
    // A numeric IPv6 address, with or without brackets ("[2001:db8::1]",
    // "::1", a zone as in "fe80::1%eth0"). False (address untouched) for
    // anything else. Does not throw.
    static bool ParseIPv6(const std::string& text, TSockAddress& address);

    int Family() const { return FStorage.ss_family; }
    bool Empty() const { return Family() == AF_UNSPEC; }
    // 0.0.0.0 or ::, which no connection can be made to.
    bool Unspecified() const;
    int Port() const;
    void SetPort(int port);
    // The IPv4 address in network order; 0 for any other family.
    uint32_t IPv4() const;
    // Same family and address (the port is not compared).
    bool SameHost(const TSockAddress& other) const;
    // "127.0.0.1", "::1" (zone included); empty when none.
    std::string HostText() const;
    // "127.0.0.1:21", "[::1]:21"; empty when none.
    std::string Text() const;
    const sockaddr* Data() const { return reinterpret_cast<const sockaddr*>(&FStorage); }
    socklen_t Length() const;

private:
    sockaddr_storage FStorage{};
};

// Event types. Handlers are tested for presence and called synchronously.
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnErrorEvent = std::function<void(QObject* Sender, uint16_t Errno, const std::string& Errmsg)>;
using TOnHostResolved = std::function<void(QObject* Sender)>;
using TOnStatus = std::function<void(QObject* Sender, const std::string& Status)>;

class TKZSock : public QObject {
    Q_OBJECT
public:
    // The value of SocketHandle when the component holds no socket.
    static constexpr int NoSocket = -1;
    // Size of the working buffer's data part (one more byte holds a NUL).
    static constexpr int BufferSize = 65536;
    // Notification kinds: a socket event, or a completion (look-up finished,
    // connection waiting after Listen(true)).
    static constexpr int WM_SOCKETEVENT = 0x0400 + 101;
    static constexpr int WM_ASYNCDONE = 0x0400 + 102;
    // Socket events carried by WM_SOCKETEVENT / WM_ASYNCDONE.
    static constexpr int FD_READ = 1;
    static constexpr int FD_WRITE = 2;
    static constexpr int FD_OOB = 4;
    static constexpr int FD_ACCEPT = 8;
    static constexpr int FD_CONNECT = 16;
    static constexpr int FD_CLOSE = 32;

    // Opens the socket (lingering on, time 0). Throws ESockError
    // "Initializaton of windows sockets failed" when no socket can be made.
    explicit TKZSock(QObject* owner = nullptr);
    // Cancels, closes every socket of the component; does not wait.
    ~TKZSock() override;

    // --- Published properties -------------------------------------------
    // Remote host: a dotted IPv4 address, an IPv6 address (brackets
    // optional) or a host name, looked up for all its addresses.
    std::string Host;
    int Port = 0;        // remote port for Connect, local port for Listen
    int TimeOut = 0;     // ms; time-out of the timed waits, 0 = none
    int ReportLevel = 0; // highest status level passed to OnStatus
    std::string Proxy;   // when not empty, Connect dials Proxy:ProxyPort
    int ProxyPort = 0;
    // Local address that Listen binds to (its port is not used; Port is);
    // empty: every local IPv4 address.
    TSockAddress ListenAddress;
    // When not empty, Accept takes only a connection from this address (the
    // port is not compared) and closes any other unread.
    TSockAddress AcceptPeer;
    // Delay after which Connect dials the next address of the host while
    // the earlier attempts are still unanswered.
    static constexpr int NextAttemptDelay = 250;

    // --- Events ---------------------------------------------------------
    TNotifyEvent OnDataAvailable;          // FD_READ on the socket
    TNotifyEvent OnAccept;                 // accept notification after Listen(false)
    TNotifyEvent OnConnect;                // connection established (inside Connect's wait)
    TNotifyEvent OnDisconnect;             // socket closed by RequestCloseSocket
    TOnErrorEvent OnError;                 // a socket error is about to be raised
    THandlerEvent OnInvalidHost;           // null remote address; may fix Host for one retry
    TOnHostResolved OnHostResolved;        // a host name was looked up
    THandlerEvent OnConnectionRequired;    // CheckConnection found no connection
    TOnStatus OnStatus;                    // a status text passed the level filter
    TNotifyEvent OnConnectionFailed;       // Connect is about to fail
    TNotifyEvent OnPacketRecvd;            // after each chunk received by CaptureFile
    TNotifyEvent OnPacketSent;             // after each send of SendFile

    // --- Read access ----------------------------------------------------
    bool Connected() const { return FConnected; }
    bool Canceled() const { return FCanceled; }
    bool TimedOut() const { return FTimedOut; }
    const std::string& Status() const { return FStatus; }
    int LastError() const { return FLastError; }
    // The address connected to (or the last one that failed); after Accept,
    // the peer; after Listen, the bound address.
    const TSockAddress& RemoteAddress() const { return FRemoteAddress; }
    // Every address the last ResolveHost found, in the resolver's order.
    const std::vector<TSockAddress>& Addresses() const { return FAddresses; }
    int SocketHandle() const { return FSocketHandle; }
    int64_t ReplyNumber() const { return FReplyNumber; }
    const std::string& TransactionReply() const { return FTransactionReply; }
    int64_t BytesSent() const { return FBytesSent; }
    int64_t BytesRecvd() const { return FBytesRecvd; }
    int64_t TransferSize() const { return FTransferSize; }
    const std::vector<std::string>& WinsockInfo() const { return FWinsockInfo; }
    TThreadTimer* TimeoutTimer() const { return FTimeoutTimer; }
    // Address of the socket's own end, or of its peer; empty when the socket
    // has none. Do not wait, do not throw.
    TSockAddress LocalAddress() const;
    TSockAddress PeerAddress() const;
    // Number of live components holding the socket layer started.
    static int WinsockUsers();
    // Host look-ups started and not yet answered, abandoned ones included
    // (a stop or time-out leaves them to the system's resolver).
    static int LookupsRunning();

    // Makes handle the component's socket. The old socket is left open (the
    // caller closes it with CloseSocketHandle); handle keeps the notifiers it
    // was registered with (Accept registers the sockets it returns).
    void SetSocketHandle(int handle);
    // Closes a socket this component registered (e.g. the listening socket
    // after Accept) together with its notifiers. Does not wait, does not throw.
    void CloseSocketHandle(int handle);
    // After Accept: closes the listening socket, makes handle the socket,
    // Connected true. Does not wait, does not throw.
    void AdoptAcceptedSocket(int handle);
    // SO_LINGER on the current socket (on = false lets close hand the rest of
    // the data to the peer). Throws ESockError on failure.
    void SetLinger(bool on, int seconds);

    // --- Lifecycle and connection -----------------------------------------
    // Resolves Host (or Proxy) and connects under TimeOut, trying the
    // addresses in the resolver's order, each on a socket of its own; the next
    // one starts when the earlier ones failed or after NextAttemptDelay
    // without an answer, and the first to connect is kept. Waits. Throws
    // ESockError: "Already connected", "Host Lookup Timed Out"/"...Canceled",
    // "Null Remote Address", "Connection Canceled", "Connection Timed out: "
    // or "Connection Failed: " followed by the address that failed last.
    virtual void Connect();
    // Closes the socket and opens a fresh one; does not wait.
    virtual void Disconnect();
    // Base: reports "Abort" and cancels the running wait. Does not wait.
    virtual void Abort();
    // Asks the running (or next) wait to end. Does not wait, does not throw.
    virtual void Cancel();
    // Returns when connected; else gives OnConnectionRequired one chance.
    // Throws Exception "Not Connected".
    void CheckConnection();
    // Fills Addresses (and RemoteAddress with the first) from Proxy or Host:
    // a numeric address as it stands, a name by a look-up of all its IPv6
    // and IPv4 addresses under TimeOut (waits). 0.0.0.0 and :: are left out.
    // Throws ESockError "Host Lookup Timed Out", "Host Lookup Canceled" or
    // "Host Lookup Failed".
    void ResolveHost();
    // Closes the socket (OnDisconnect) and opens a fresh one. Does not wait.
    // Throws ESockError when close fails.
    void RequestCloseSocket();
    // Reports text when level <= ReportLevel: Status, then OnStatus.
    // Exceptions from OnStatus are swallowed.
    void ReportStatus(int level, const std::string& text);
    // Raises the last socket error unless it is ignorable or <= 10000:
    // fires OnError, throws ESockError with ErrorText. Sets LastError.
    void CheckSocketError(int ignorable, std::string& text);
    // Error text of code into text ("10061:Connection refused", "Unknown
    // Error No. 12345", empty for 0). Does not throw.
    void ErrorText(int code, std::string& text);

    // --- Buffered input and output ---------------------------------------
    // Sends length bytes (0: up to the first NUL) under TimeOut; waits.
    // Throws ESockError (socket error, length of 65,536 or more) or
    // EAbortError "Socket send aborted".
    void SendBuffer(const char* data, size_t length);
    // Sends text up to its first NUL; waits. Throws as SendBuffer.
    void Write(const std::string& text);
    // Sends text + CR LF; waits. Throws as SendBuffer.
    void Writeln(const std::string& text);
    // count > 0: waits for count bytes and takes them; count 0: takes what is
    // there. Peer closed: empty. Throws ESockError (socket error, count above
    // 65535 or 65,536 bytes pending for count 0), EAbortError "Socket send aborted".
    void Read(int count, std::string& text);
    // Reads one line, LF (and CR) included, from the bytes received ahead or
    // else under TimeOut per wait; waits. Peer closed or not connected:
    // empty. Throws ESockError (socket error, a reset that ended the
    // connection, line longer than 65,536 bytes: nothing taken),
    // EAbortError "Socket readln aborted".
    void ReadLn(std::string& line);
    // Writeln(command), ReadLn(reply); sets TransactionReply, ReplyNumber;
    // waits. Throws as Writeln and ReadLn.
    virtual void Transaction(const std::string& command, std::string& reply);
    // True when at least one byte can be read; consumes nothing, no wait.
    bool DataAvailable();
    // Discards up to 65,536 pending bytes once; does not wait.
    void ClearInput();
    // Sends the whole file, restarting TimeOut after every send; waits.
    // Throws Exception (file), ESockError, EAbortError "Socket send aborted".
    void SendFile(const std::string& fileName);
    // Receives into the (truncated) file until the peer closes; TimeOut
    // measures silence; waits. Throws Exception (file), ESockError (also a
    // reset that ended the connection before this read met it),
    // EAbortError "Socket receive aborted" (the file keeps what arrived).
    void CaptureFile(const std::string& fileName);

    // --- Listening and accepting -----------------------------------------
    // Binds ListenAddress:Port and listens (backlog 1); does not wait. The accept
    // notification sets Done (useDoneMessage) or fires OnAccept.
    // Throws ESockError with the error text when bind or listen fails.
    void Listen(bool useDoneMessage);
    // Waits for the connection announced after Listen(true) (under TimeOut
    // when it is not 0) and accepts it; a connection from another address
    // than AcceptPeer (when set) is closed unread and the wait goes on
    // within the same time-out. The new socket reports to this
    // component; RemoteAddress := the peer. Throws ESockError "Accepting
    // Timed Out", "Accepting Canceled", "Error creating Data Connection",
    // or the error text of a failing accept.
    virtual int Accept();
    // Local IPv4 address of the socket with commas for dots ("127,0,0,1").
    void LocalAddressText(std::string& text);
    // Local port of the socket as ",<high>,<low>".
    void LocalPortText(std::string& text);

    // --- TLS ----------------------------------------------------------------
    // Message of the failure when the TLS handshake outlasts TimeOut.
    static constexpr const char* TlsTimedOutText = "TLS: ハンドシェイク時間切れ";
    // Message of the failure when the TLS handshake is cancelled.
    static constexpr const char* TlsCanceledText = "TLS: ハンドシェイク中止";
    // Runs the TLS handshake on the connected socket under TimeOut and checks
    // the server's certificate as security asks (Host names the server); from
    // then on every read and write of the socket is encrypted, until it is
    // closed. resumeFrom: a secured connection to the same server whose TLS
    // session is offered for resumption. Waits. Throws ESockError "TLS: ..."
    // (handshake failed, certificate refused), EAbortError TlsTimedOutText or
    // TlsCanceledText.
    void StartTls(const TTlsSecurity& security, const TKZSock* resumeFrom = nullptr);
    // Ends TLS after sending: close_notify, then waits (under TimeOut, or
    // until cancelled) for the peer to answer it or to close, so that closing
    // the socket cannot reset the connection before the peer has read all.
    // Nothing without TLS. Does not throw.
    void FinishTls();
    // True while the socket speaks TLS.
    bool Secure() const { return FTls != nullptr; }
    // The socket's TLS connection (nullptr when it speaks none).
    const TlsSession* Tls() const { return FTls.get(); }
    // True when the peer of the last TLS connection on this socket ended it
    // with close_notify (also after the socket was closed); false without
    // TLS, while it is open, or when the peer just closed the TCP connection.
    // Does not throw.
    bool TlsClosedCleanly() const { return FTls ? FTls->ClosedCleanly() : FTlsClosedCleanly; }

    // --- Timer ------------------------------------------------------------
    // Clears TimedOut and starts TimeOut afresh (0: stops the timer).
    void TimerOn();
    void TimerOff();
    // The timer's tick: TimedOut, Done, then the virtual Abort.
    virtual void TimerTriggered(QObject* Sender);

protected:
    // Handles one notification: kind is
    // WM_SOCKETEVENT or WM_ASYNCDONE, event an FD_ value, error a Winsock
    // number (0 = none). Swallows any exception.
    void HandleSocketMessage(int kind, int socket, int event, int error);
    // Runs pending events; with mayBlock, first blocks until something arrives.
    void ProcessMessages(bool mayBlock);
    // The addresses Connect dials, in order, ports set. A derived component
    // may reorder or drop some; the base keeps the resolver's order.
    virtual void OrderAddresses(std::vector<TSockAddress>& addresses);

    std::array<char, BufferSize + 1> Buffer{};
    bool FConnected = false;
    bool FCanceled = false;
    bool FDestroying = false;
    bool FTimedOut = false;
    bool Done = false;
    bool Succeeded = false;
    int FLastError = 0;
    std::string FStatus;
    std::vector<std::string> FWinsockInfo;
    TThreadTimer* FTimeoutTimer = nullptr;
    int64_t FBytesSent = 0;
    int64_t FBytesRecvd = 0;
    int64_t FTransferSize = 0;
    TSockAddress FRemoteAddress;
    std::vector<TSockAddress> FAddresses;
    std::string FTransactionReply;
    int64_t FReplyNumber = 0;
    int FSocketHandle = NoSocket;
    // Winsock number of the error that ended the connection while nobody
    // was reading (a reset seen by a notification): the next read that
    // meets the closed connection raises it instead of reading an end.
    int FCloseError = 0;

private:
    struct SocketEntry;

    void InitWinsock();
    int NewSocket(bool linger, int family = AF_INET);
    // Starts a connection to address on a socket of its own; answers the
    // socket, or NoSocket with error set when the attempt failed at once.
    int StartAttempt(const TSockAddress& address, int& error);
    // Closes the current socket and makes a fresh one in its place, so that
    // nothing of a failed or finished connection reaches the next one.
    void RenewSocket();
    SocketEntry* Register(int handle, int kind, int phase);
    SocketEntry* Entry(int handle) const;
    void UpdateNotifiers(SocketEntry& entry);
    int CloseRegistered(int handle);
    void ReadReady(int handle);
    void WriteReady(int handle);
    void Notify(int kind, int handle, int event, int error);
    void LookupFinished(const QHostInfo& info);
    void Wake();
    [[noreturn]] void RaiseSocketError(int error);
    int Recv(void* data, size_t length, int flags);
    // Raises FCloseError (clearing it) when one is recorded.
    void RaiseCloseError();
    // Recv for CaptureFile: moves up to length bytes into a pipe (splice).
    int RecvIntoPipe(int pipeIn, size_t length, bool& refused);
    // After any read of s: its next read notification may come.
    void ReadTaken(int s);
    void WaitForRead();
    void WaitForWrite();
    void SetReadTarget(int bytes);
    void PumpBetweenChunks();
    // The TLS forms of the buffered input and output (TKZSockTls.cpp).
    TlsSession::Step TlsFill();
    void TlsWait(TlsSession::Step step);
    [[noreturn]] void RaiseTlsError(const std::string& reason);
    void EndTls();
    bool TlsSendAll(const char* data, size_t length, bool eachChunk);
    // Sends length bytes (already checked by SendBuffer) over TLS; waits.
    void TlsSendBuffer(const char* data, size_t length);
    void TlsRead(int count, std::string& text);
    void TlsReadLn(std::string& line);
    bool TlsDataAvailable();
    void TlsClearInput();
    void TlsSendFile(int file, int64_t size, const std::string& fileName);
    void TlsCaptureFile(int file, const std::string& fileName);

    // Bytes received by ReadLn ahead of the lines taken so far; every
    // reader of the socket takes these first.
    TInputBuffer FInput{BufferSize};
    std::map<int, std::unique_ptr<SocketEntry>> FSockets;
    std::vector<QObject*> FRetiredNotifiers; // deleted when no notifier runs
    int FDispatchDepth = 0;
    int FLookupId = -1;
    std::vector<TSockAddress> FLookupAddresses;
    // Sockets of the connection attempts under way, with their outcome: -1
    // while unanswered, 0 connected, else the Winsock number of the failure.
    std::map<int, int> FAttempts;
    bool FReadWaiting = false; // a read loop blocks for the current socket
    bool FReadHold = false;  // wait without read interest (no more data can come)
    int FReadTarget = 1;     // SO_RCVLOWAT set on FReadTargetSocket
    int FReadTargetSocket = NoSocket;
    QElapsedTimer FPumpClock;
    std::unique_ptr<TlsSession> FTls;
    std::string FTlsInput; // decrypted bytes not yet taken by a reader
    bool FTlsClosedCleanly = false; // TlsClosedCleanly of the session EndTls ended
};
