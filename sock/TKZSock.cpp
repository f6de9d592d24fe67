#include "sock/TKZSock.h"

#include "sock/ErrorText.h"
#include "sock/SockApi.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int winsockUsers = 0;

// Host look-ups under way, by look-up id, with the component waiting for each.
std::map<int, TKZSock*> pendingLookups;

QObject* LookupReceiver()
{
    static QPointer<QObject> receiver;
    if (!receiver)
        receiver = new QObject(QCoreApplication::instance());
    return receiver;
}

// What a registered socket is doing; decides which readiness is watched.
// A fresh or failed socket is watched for nothing: poll reports an
// unconnected TCP socket as hung up, which would wake every wait.
enum Phase { PhaseIdle, PhaseConnecting, PhaseConnected, PhaseListening, PhaseClosed };

// Calls f when the scope is left, also by an exception.
template <class F>
struct Finally {
    F f;
    ~Finally() { f(); }
};
template <class F>
Finally(F) -> Finally<F>;

std::string FileErrorText(const char* what, const std::string& fileName, int error)
{
    return std::string(what) + " \"" + fileName + "\". " + std::strerror(error);
}

void WriteAll(int file, const char* data, size_t length, const std::string& fileName)
{
    while (length > 0) {
        ssize_t w = ::write(file, data, length);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throw Exception(FileErrorText("Cannot write file", fileName, w < 0 ? errno : ENOSPC));
        data += w;
        length -= static_cast<size_t>(w);
    }
}

// The pipe through which CaptureFile moves socket data into a regular file
// with splice: the kernel hands the received pages to the pipe and copies
// them once, into the file, instead of twice (into Buffer by recv, out of it
// by write). Not open (-1) where it cannot be used; the capture then takes
// the recv/write path.
struct CapturePipe {
    // Bytes taken from the socket per splice. Large chunks are what makes
    // the path cheap: the file system then writes few large pieces instead
    // of many small ones (measured: 1 MiB chunks take about 40 % less CPU
    // than 64 KiB ones). Buffer is not involved, so its size does not bound
    // them; OnPacketRecvd and the time-out restart still come with every
    // chunk, about once a millisecond on a fast link.
    static constexpr int Chunk = 1 << 20;
    int out = -1; // read end: towards the file
    int in = -1;  // write end: from the socket
    CapturePipe(const CapturePipe&) = delete;
    CapturePipe& operator=(const CapturePipe&) = delete;
    explicit CapturePipe(int file)
    {
        // Regular files only: other targets (a FIFO, a device) keep the
        // plain path, whose behaviour with them is known.
        struct stat info {};
        if (::fstat(file, &info) < 0 || !S_ISREG(info.st_mode))
            return;
        int ends[2];
        if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) < 0)
            return;
        out = ends[0];
        in = ends[1];
        // Room for a whole chunk (one slot per page or smaller piece the
        // socket holds). A tight pipe quota refuses it, which only makes
        // the chunks smaller.
        ::fcntl(in, F_SETPIPE_SZ, Chunk);
    }
    ~CapturePipe() { Close(); }
    bool IsOpen() const { return in >= 0; }
    void Close()
    {
        if (in >= 0) {
            ::close(in);
            ::close(out);
        }
        in = out = -1;
    }
    // Moves the length bytes the pipe holds into file. A file that takes no
    // splice gets them by read/write through buffer and closes the pipe: the
    // capture goes on by recv. Throws Exception "Cannot write file".
    void Drain(int file, size_t length, char* buffer, size_t bufferSize, const std::string& fileName)
    {
        bool refused = false;
        while (length > 0) {
            ssize_t w = refused ? -1 : ::splice(out, nullptr, file, nullptr, length, SPLICE_F_MOVE);
            if (w < 0 && !refused && errno == EINTR)
                continue;
            if (w < 0 && (refused || errno == EINVAL)) {
                refused = true;
                ssize_t k = ::read(out, buffer, std::min(length, bufferSize));
                if (k <= 0)
                    throw Exception(FileErrorText("Cannot write file", fileName, k < 0 ? errno : EIO));
                WriteAll(file, buffer, static_cast<size_t>(k), fileName);
                w = k;
            } else if (w <= 0) {
                throw Exception(FileErrorText("Cannot write file", fileName, w < 0 ? errno : ENOSPC));
            }
            length -= static_cast<size_t>(w);
        }
        if (refused)
            Close();
    }
};

} // namespace

// One socket registered with the component: its notifiers and the state of
// the notifications it owes (after the Winsock rules: a read or accept
// notification is not repeated until the socket has been read or accepted
// from; a close is reported once).
struct TKZSock::SocketEntry {
    int handle = NoSocket;
    int kind = WM_SOCKETEVENT; // notification kind for this socket
    int phase = PhaseIdle;
    bool readArmed = true;     // the next readiness may be reported
    bool wantWrite = false;    // a send loop waits for room
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
};

// ---------------------------------------------------------------------------
// Construction and destruction

TKZSock::TKZSock(QObject* owner) : QObject(owner)
{
    ReportStatus(8, "Create");
    FTimeoutTimer = new TThreadTimer(this);
    FTimeoutTimer->SetEnabled(false);
    FTimeoutTimer->SetOnTimer([this](QObject* sender) { TimerTriggered(sender); });
    TimeOut = 0;
    FCanceled = FDestroying = FConnected = false;
    InitWinsock();
}

TKZSock::~TKZSock()
{
    // Nothing is reported to handlers from here on: the owner may be half gone.
    FDestroying = true;
    ReportStatus(8, "Destroy");
    try {
        TKZSock::Abort();
        Cancel();
        pendingLookups.erase(FLookupId);
        FLookupId = -1;
        delete FTimeoutTimer;
        FTimeoutTimer = nullptr;
        RequestCloseSocket();
    } catch (...) {
    }
    // Sockets accepted but never adopted, or a listening socket left open.
    while (!FSockets.empty())
        CloseRegistered(FSockets.begin()->first);
    for (QObject* notifier : FRetiredNotifiers)
        delete notifier;
    --winsockUsers;
}

int TKZSock::WinsockUsers()
{
    return winsockUsers;
}

void TKZSock::InitWinsock()
{
    ReportStatus(8, "Initializing Winsock");
    ++winsockUsers;
    if (winsockUsers == 1) {
        // The facts of the socket layer that stands in for Winsock 1.1.
        utsname system{};
        uname(&system);
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        FWinsockInfo.push_back("Version= 1.1");
        FWinsockInfo.push_back("High Version= 1.1");
        FWinsockInfo.push_back(std::string("Description= POSIX sockets on ") + system.sysname + " " +
                               system.release);
        FWinsockInfo.push_back("System= Running");
        FWinsockInfo.push_back("Max Sockets= " + std::to_string(files.rlim_cur));
        FWinsockInfo.push_back("Max Udp pack size= 65507");
    }
    FSocketHandle = NewSocket(true);
    if (FSocketHandle == NoSocket) {
        --winsockUsers;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

int TKZSock::NewSocket(bool linger)
{
    int s = SockApi::Socket(linger ? IPPROTO_TCP : 0);
    if (s < 0)
        return NoSocket;
    // Lingering on with time 0: closing resets the connection at once.
    if (linger && SockApi::SetLinger(s, true, 0) < 0) {
        SockApi::Close(s);
        return NoSocket;
    }
    Register(s, WM_SOCKETEVENT, PhaseIdle);
    return s;
}

// ---------------------------------------------------------------------------
// Socket registry and notifications

TKZSock::SocketEntry* TKZSock::Register(int handle, int kind, int phase)
{
    auto entry = std::make_unique<SocketEntry>();
    entry->handle = handle;
    entry->kind = kind;
    entry->phase = phase;
    entry->readNotifier = new QSocketNotifier(QSocketNotifier::Read, this);
    entry->readNotifier->setSocket(handle);
    entry->writeNotifier = new QSocketNotifier(QSocketNotifier::Write, this);
    entry->writeNotifier->setSocket(handle);
    connect(entry->readNotifier, &QSocketNotifier::activated, this, [this, handle] { ReadReady(handle); });
    connect(entry->writeNotifier, &QSocketNotifier::activated, this, [this, handle] { WriteReady(handle); });
    SocketEntry* result = entry.get();
    FSockets[handle] = std::move(entry);
    UpdateNotifiers(*result);
    return result;
}

TKZSock::SocketEntry* TKZSock::Entry(int handle) const
{
    auto it = FSockets.find(handle);
    return it == FSockets.end() ? nullptr : it->second.get();
}

void TKZSock::UpdateNotifiers(SocketEntry& entry)
{
    bool read = (entry.phase == PhaseConnected || entry.phase == PhaseListening) && entry.readArmed &&
                !(FReadHold && entry.handle == FSocketHandle);
    bool write = entry.phase == PhaseConnecting || (entry.phase == PhaseConnected && entry.wantWrite);
    if (entry.readNotifier->isEnabled() != read)
        entry.readNotifier->setEnabled(read);
    if (entry.writeNotifier->isEnabled() != write)
        entry.writeNotifier->setEnabled(write);
}

int TKZSock::CloseRegistered(int handle)
{
    auto it = FSockets.find(handle);
    if (it != FSockets.end()) {
        // The notifiers may be running right now (a handler closing its own
        // socket): disable them now, delete them once no notifier runs.
        for (QSocketNotifier* n : {it->second->readNotifier, it->second->writeNotifier}) {
            n->setEnabled(false);
            n->disconnect(this);
            FRetiredNotifiers.push_back(n);
        }
        FSockets.erase(it);
    }
    if (handle == FReadTargetSocket) {
        FReadTargetSocket = NoSocket;
        FReadTarget = 1;
    }
    return SockApi::Close(handle);
}

void TKZSock::SetSocketHandle(int handle)
{
    FSocketHandle = handle;
    // A socket made elsewhere gets notifiers too, or no wait could ever
    // learn of its data.
    if (handle != NoSocket && !Entry(handle)) {
        sockaddr_in peer{};
        bool connected = SockApi::GetPeerName(handle, &peer) == 0;
        Register(handle, WM_SOCKETEVENT, connected ? PhaseConnected : PhaseIdle);
    }
}

void TKZSock::CloseSocketHandle(int handle)
{
    if (handle != NoSocket)
        CloseRegistered(handle);
}

void TKZSock::AdoptAcceptedSocket(int handle)
{
    int listening = FSocketHandle;
    SetSocketHandle(handle);
    if (listening != NoSocket && listening != handle)
        CloseRegistered(listening);
    FConnected = true;
}

void TKZSock::SetLinger(bool on, int seconds)
{
    if (SockApi::SetLinger(FSocketHandle, on, seconds) < 0)
        RaiseSocketError(SockApi::LastError());
}

void TKZSock::ReadReady(int handle)
{
    SocketEntry* entry = Entry(handle);
    if (!entry)
        return;
    if (entry->phase == PhaseListening) {
        entry->readArmed = false;
        UpdateNotifiers(*entry);
        Notify(entry->kind, handle, FD_ACCEPT, 0);
        return;
    }
    if (entry->phase != PhaseConnected) {
        UpdateNotifiers(*entry);
        return;
    }
    // A read loop of this component is waiting for exactly this and will
    // read at once; with nobody else to tell, the notification is left to
    // the socket (the loop's own read meets data, close or error).
    if (FReadWaiting && handle == FSocketHandle && !OnDataAvailable)
        return;
    // Readable means data, the peer's close, or an error: a one-byte peek
    // tells them apart without taking anything.
    char probe;
    ssize_t n = SockApi::Recv(handle, &probe, 1, MSG_PEEK);
    if (n > 0) {
        entry->readArmed = false;
        UpdateNotifiers(*entry);
        Notify(entry->kind, handle, FD_READ, 0);
    } else if (n == 0 || SockApi::LastError() != SockApi::WouldBlock) {
        int error = n == 0 ? 0 : SockApi::LastError();
        entry->phase = PhaseClosed;
        UpdateNotifiers(*entry);
        Notify(entry->kind, handle, FD_CLOSE, error);
    }
}

void TKZSock::WriteReady(int handle)
{
    SocketEntry* entry = Entry(handle);
    if (!entry)
        return;
    if (entry->phase == PhaseConnecting) {
        int error = SockApi::PendingError(handle);
        entry->phase = error == 0 ? PhaseConnected : PhaseIdle;
        entry->readArmed = true;
        UpdateNotifiers(*entry);
        Notify(entry->kind, handle, FD_CONNECT, error);
        return;
    }
    // Room to send: the send loop that asked for it tries again.
    entry->wantWrite = false;
    UpdateNotifiers(*entry);
}

void TKZSock::Notify(int kind, int handle, int event, int error)
{
    ++FDispatchDepth;
    HandleSocketMessage(kind, handle, event, error);
    --FDispatchDepth;
}

void TKZSock::HandleSocketMessage(int kind, int socket, int event, int error)
{
    try {
        // Only the component's current socket acts on it: a socket closed and
        // replaced meanwhile has no notifiers left, and a socket accepted but
        // not yet adopted must not close the listening one.
        if (socket != FSocketHandle)
            return;
        Succeeded = error == 0;
        if (kind == WM_SOCKETEVENT) {
            switch (event) {
            case FD_READ:
                if (OnDataAvailable) {
                    try {
                        OnDataAvailable(this);
                    } catch (...) {
                    }
                }
                break;
            case FD_ACCEPT:
                FConnected = true;
                if (OnAccept)
                    OnAccept(this);
                break;
            case FD_CONNECT:
                if (Succeeded) {
                    FConnected = true;
                    if (OnConnect)
                        OnConnect(this);
                }
                break;
            case FD_CLOSE:
                // With unread data left the readers meet the close themselves.
                if (!DataAvailable())
                    RequestCloseSocket();
                break;
            default:
                break;
            }
        } else if (kind == WM_ASYNCDONE) {
            Done = true;
            if (event == FD_ACCEPT)
                FConnected = true;
        }
    } catch (...) {
    }
}

void TKZSock::Wake()
{
    // A flag changed outside a socket or timer activation (a queued event,
    // a handler): make a wait that is about to block test its flags again.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
        dispatcher->wakeUp();
}

void TKZSock::ProcessMessages(bool mayBlock)
{
    if (FDispatchDepth == 0 && !FRetiredNotifiers.empty()) {
        for (QObject* notifier : FRetiredNotifiers)
            delete notifier;
        FRetiredNotifiers.clear();
    }
    QCoreApplication::processEvents(mayBlock ? QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents
                                             : QEventLoop::AllEvents);
}

void TKZSock::PumpBetweenChunks()
{
    // While data moves, events are let through about once a millisecond
    // rather than after every chunk: cancel, time-out and the window stay
    // live, and a fast transfer does not pay a poll per chunk.
    if (FPumpClock.isValid() && FPumpClock.nsecsElapsed() < 1000000)
        return;
    FPumpClock.start();
    ProcessMessages(false);
}

int TKZSock::Recv(void* data, size_t length, int flags)
{
    int s = FSocketHandle;
    ssize_t n = SockApi::Recv(s, data, length, flags);
    ReadTaken(s);
    return static_cast<int>(n);
}

int TKZSock::RecvIntoPipe(int pipeIn, size_t length, bool& refused)
{
    int s = FSocketHandle;
    ssize_t n = SockApi::SpliceFromSocket(s, pipeIn, length, refused);
    ReadTaken(s);
    return static_cast<int>(n);
}

void TKZSock::ReadTaken(int s)
{
    // Any read, a peek included, lets the next read notification through.
    if (SocketEntry* entry = Entry(s); entry && !entry->readArmed) {
        entry->readArmed = true;
        UpdateNotifiers(*entry);
    }
}

void TKZSock::WaitForRead()
{
    if (SocketEntry* entry = Entry(FSocketHandle))
        UpdateNotifiers(*entry);
    bool outer = FReadWaiting;
    FReadWaiting = true;
    Finally restore{[this, outer] { FReadWaiting = outer; }};
    ProcessMessages(true);
}

void TKZSock::WaitForWrite()
{
    if (SocketEntry* entry = Entry(FSocketHandle)) {
        entry->wantWrite = true;
        UpdateNotifiers(*entry);
    }
    ProcessMessages(true);
    if (SocketEntry* entry = Entry(FSocketHandle)) {
        entry->wantWrite = false;
        UpdateNotifiers(*entry);
    }
}

void TKZSock::SetReadTarget(int bytes)
{
    // The socket reports readable only once this many bytes are queued (or
    // at the peer's close), so waiting for the rest of a line or block does
    // not wake for every byte that is already there.
    int s = FSocketHandle;
    if (s == NoSocket || (s == FReadTargetSocket && bytes == FReadTarget))
        return;
    if (s != FReadTargetSocket && bytes == 1)
        return;
    if (SockApi::SetReceiveLowWater(s, bytes) == 0) {
        FReadTargetSocket = bytes == 1 ? NoSocket : s;
        FReadTarget = bytes;
    }
}

// ---------------------------------------------------------------------------
// Status and errors

void TKZSock::ReportStatus(int level, const std::string& text)
{
    if (level > ReportLevel)
        return;
    try {
        FStatus = text;
        if (!FDestroying && OnStatus)
            OnStatus(this, FStatus);
    } catch (...) {
    }
}

void TKZSock::CheckSocketError(int ignorable, std::string& text)
{
    int error = SockApi::LastError();
    FLastError = error;
    if (error != ignorable && error > 10000)
        RaiseSocketError(error);
    text.clear();
}

void TKZSock::RaiseSocketError(int error)
{
    FLastError = error;
    std::string message;
    ErrorText(error, message);
    if (OnError && !FDestroying)
        OnError(this, static_cast<uint16_t>(error), message);
    throw ESockError(message);
}

void TKZSock::ErrorText(int code, std::string& text)
{
    ReportStatus(8, "Looking Up Error Message" + text);
    text = WinsockErrorText(code);
}

// ---------------------------------------------------------------------------
// Host look-up and connection

void TKZSock::ResolveHost()
{
    ReportStatus(8, "Resolve Host");
    const std::string& name = Proxy.empty() ? Host : Proxy;
    // As a C string: the name ends at its first NUL, and fits the buffer.
    size_t length = strnlen(name.c_str(), std::min<size_t>(name.size(), BufferSize));
    std::memcpy(Buffer.data(), name.data(), length);
    Buffer[length] = '\0';
    FRemoteAddress.sin_addr.s_addr = inet_addr(Buffer.data());
    if (FRemoteAddress.sin_addr.s_addr != INADDR_NONE)
        return;

    FRemoteAddress.sin_addr.s_addr = 0;
    TimerOn();
    Done = false;
    FLookupAddress = 0;
    // Results go to one long-lived receiver and from there, by look-up id,
    // to the component that still waits for that id. (A component as the
    // receiver would leak Qt's result handler when it is destroyed first.)
    FLookupId = QHostInfo::lookupHost(QString::fromUtf8(Buffer.data(), static_cast<qsizetype>(length)),
                                      LookupReceiver(), [](const QHostInfo& info) {
                                          auto it = pendingLookups.find(info.lookupId());
                                          if (it == pendingLookups.end())
                                              return;
                                          TKZSock* sock = it->second;
                                          pendingLookups.erase(it);
                                          sock->LookupFinished(info);
                                      });
    pendingLookups[FLookupId] = this;
    ProcessMessages(false);
    while (!(Done || FTimedOut || FCanceled))
        ProcessMessages(true);
    TimerOff();
    // A look-up abandoned by time-out or cancel is forgotten: its result,
    // whenever it comes, reaches nobody. (It is not withdrawn with
    // abortHostLookup, which leaks the result handler.)
    pendingLookups.erase(FLookupId);
    FLookupId = -1;

    if (FTimedOut)
        throw ESockError("Host Lookup Timed Out");
    if (FCanceled)
        throw ESockError("Host Lookup Canceled");
    if (!Succeeded)
        throw ESockError("Host Lookup Failed");
    FRemoteAddress.sin_addr.s_addr = FLookupAddress;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TKZSock::LookupFinished(const QHostInfo& info)
{
    if (FLookupId == -1 || info.lookupId() != FLookupId)
        return;
    FLookupId = -1;
    int error = 0;
    switch (info.error()) {
    case QHostInfo::NoError:
        break;
    case QHostInfo::HostNotFound:
        error = 11001;
        break;
    default:
        error = 11003;
        break;
    }
    FLookupAddress = 0;
    if (error == 0) {
        error = 11004; // a name without an IPv4 address
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                FLookupAddress = htonl(address.toIPv4Address());
                error = 0;
                break;
            }
        }
    }
    HandleSocketMessage(WM_ASYNCDONE, FSocketHandle, 0, error);
    Wake();
}

void TKZSock::Connect()
{
    ReportStatus(8, "Connecting");
    FCanceled = false;
    if (FConnected)
        throw ESockError("Already connected");

    int retries = 0;
    for (;;) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            std::string message = e.what();
            if (message == "Host Lookup Timed Out" || message == "Host Lookup Canceled")
                throw;
            FRemoteAddress.sin_addr.s_addr = 0;
        }
        if (FRemoteAddress.sin_addr.s_addr != 0)
            break;
        if (retries > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
        ++retries;
    }

    FRemoteAddress.sin_family = AF_INET;
    FRemoteAddress.sin_port = htons(static_cast<uint16_t>(Proxy.empty() ? Port : ProxyPort));
    Done = false;
    Succeeded = true;

    if (SockApi::Connect(FSocketHandle, FRemoteAddress) < 0) {
        std::string text;
        CheckSocketError(SockApi::WouldBlock, text);
    }
    if (SocketEntry* entry = Entry(FSocketHandle)) {
        entry->phase = PhaseConnecting;
        UpdateNotifiers(*entry);
    }

    TimerOn();
    ProcessMessages(false);
    while (!(FConnected || FTimedOut || FCanceled || !Succeeded))
        ProcessMessages(true);
    TimerOff();
    if (!(FTimedOut || FCanceled || !Succeeded))
        return;

    // The attempt is given up: dissolve it, so that a connection completing
    // later can neither mark the component connected nor fire OnConnect.
    if (!FConnected) {
        if (SocketEntry* entry = Entry(FSocketHandle); entry && entry->phase == PhaseConnecting) {
            SockApi::Dissolve(FSocketHandle);
            entry->phase = PhaseIdle;
            UpdateNotifiers(*entry);
        }
    }
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (FTimedOut)
        throw ESockError("Connection Timed out");
    if (FCanceled)
        throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TKZSock::CheckConnection()
{
    ReportStatus(8, "Checking Connection");
    int attempts = 0;
    while (!FConnected) {
        if (attempts > 0 || !OnConnectionRequired)
            throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception("Not Connected");
        ++attempts;
    }
}

void TKZSock::Disconnect()
{
    ReportStatus(8, "Disconnecting");
    RequestCloseSocket();
}

void TKZSock::RequestCloseSocket()
{
    ReportStatus(4, "Request Close Socket");
    FConnected = false;
    if (FSocketHandle == NoSocket)
        return;
    int old = FSocketHandle;
    if (CloseRegistered(old) < 0) {
        std::string text;
        CheckSocketError(SockApi::WouldBlock, text);
        return;
    }
    FSocketHandle = NoSocket;
    if (FDestroying)
        return;
    // The fresh socket is there before OnDisconnect runs, so a handler that
    // connects again finds a usable socket.
    FSocketHandle = NewSocket(false);
    if (OnDisconnect)
        OnDisconnect(this);
}

void TKZSock::Cancel()
{
    ReportStatus(8, "Canceling");
    FCanceled = true;
    Wake();
}

void TKZSock::Abort()
{
    ReportStatus(8, "Abort");
    Cancel();
}

// ---------------------------------------------------------------------------
// Timer

void TKZSock::TimerOn()
{
    ReportStatus(8, "Timer On");
    FTimedOut = false;
    if (TimeOut < 0)
        throw Exception("Range check error");
    FTimeoutTimer->SetInterval(static_cast<unsigned>(TimeOut));
    FTimeoutTimer->SetEnabled(true);
    if (TimeOut != 0)
        FTimeoutTimer->Restart();
}

void TKZSock::TimerOff()
{
    ReportStatus(8, "Timer Off");
    FTimeoutTimer->SetEnabled(false);
}

void TKZSock::TimerTriggered(QObject*)
{
    ReportStatus(8, "Timer Triggered");
    TimerOff();
    FTimedOut = true;
    Done = true;
    Abort();
    Wake();
}

// ---------------------------------------------------------------------------
// Buffered input and output

void TKZSock::SendBuffer(const char* data, size_t length)
{
    ReportStatus(4, "Sending Buffer");
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    if (!FCanceled) {
        if (length == 0) {
            length = strnlen(data, BufferSize);
            if (length >= static_cast<size_t>(BufferSize))
                throw ESockError("Sending Buffer: text of 65536 bytes or more refused");
        } else if (length >= static_cast<size_t>(BufferSize)) {
            throw ESockError("Sending Buffer: buffer of 65536 bytes or more refused");
        }
        size_t remaining = length;
        for (;;) {
            ssize_t n = SockApi::Send(FSocketHandle, data + (length - remaining), remaining);
            if (n == 0)
                break;
            if (n > 0) {
                remaining -= static_cast<size_t>(n);
            } else {
                std::string text;
                CheckSocketError(SockApi::WouldBlock, text);
            }
            if (remaining == 0 || FCanceled)
                break;
            if (n > 0)
                PumpBetweenChunks();
            else
                WaitForWrite();
            if (FCanceled)
                break;
        }
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::Write(const std::string& text)
{
    ReportStatus(8, "Write");
    // Sent as a C string: up to the first NUL byte.
    size_t length = strnlen(text.c_str(), text.size());
    if (length >= static_cast<size_t>(BufferSize))
        throw ESockError("Write: text of 65536 bytes or more refused");
    std::memcpy(Buffer.data(), text.data(), length);
    Buffer[length] = '\0';
    SendBuffer(Buffer.data(), 0);
}

void TKZSock::Writeln(const std::string& text)
{
    ReportStatus(8, "Writeln");
    Write(text + "\r\n");
}

void TKZSock::Read(int count, std::string& text)
{
    ReportStatus(8, "Read( " + std::to_string(count) + " )");
    if (count < 0 || count > 65535)
        throw ESockError("Read: count " + std::to_string(count) + " out of range 0..65535");
    std::string error;
    if (count == 0) {
        int n = Recv(Buffer.data(), BufferSize, MSG_PEEK);
        if (n < 0) {
            CheckSocketError(SockApi::WouldBlock, error);
        } else if (n >= BufferSize) {
            throw ESockError("Read: 65536 or more bytes pending, nothing taken");
        } else {
            count = n;
        }
    } else {
        Finally restore{[this] {
            FReadHold = false;
            if (SocketEntry* entry = Entry(FSocketHandle))
                UpdateNotifiers(*entry);
            SetReadTarget(1);
        }};
        do {
            // Asked before the peek: once the peer has closed, the peek
            // shows everything that will ever come.
            bool closed = SockApi::PeerClosed(FSocketHandle);
            int n = Recv(Buffer.data(), BufferSize, MSG_PEEK);
            if (n >= count)
                break;
            if (n == 0) {
                text.clear();
                return;
            }
            if (n < 0) {
                CheckSocketError(SockApi::WouldBlock, error);
            } else if (closed) {
                // Too few bytes, and no more can come: wait for a cancel
                // only, instead of waking for the close again and again.
                FReadHold = true;
            } else {
                SetReadTarget(count);
            }
            WaitForRead();
        } while (!FCanceled);
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
    if (count == 0) {
        text.clear();
        return;
    }
    text.resize(static_cast<size_t>(count));
    int n = Recv(text.data(), static_cast<size_t>(count), 0);
    text.resize(n < 0 ? 0 : static_cast<size_t>(n));
}

void TKZSock::ReadLn(std::string& line)
{
    ReportStatus(8, "ReadLn");
    TimerOn();
    Finally stop{[this] {
        SetReadTarget(1);
        TimerOff();
    }};
    // The line is only peeked at until its LF is there, and then taken
    // whole: a line that cannot fit the buffer is refused with nothing taken.
    size_t lineLength = 0;
    bool lineEnd = false;
    do {
        bool closed = SockApi::PeerClosed(FSocketHandle);
        int n = Recv(Buffer.data(), BufferSize, MSG_PEEK);
        if (n == 0) {
            line.clear();
            return;
        }
        if (n > 0) {
            if (const void* lf = std::memchr(Buffer.data(), '\n', static_cast<size_t>(n))) {
                lineLength = static_cast<size_t>(static_cast<const char*>(lf) - Buffer.data()) + 1;
                lineEnd = true;
                break;
            }
            if (n >= BufferSize)
                throw ESockError("ReadLn: line longer than 65536 bytes refused, nothing taken");
            if (closed) {
                // The peer closed in mid-line: the part is dropped and the
                // close read like any other.
                Recv(Buffer.data(), static_cast<size_t>(n), 0);
                line.clear();
                return;
            }
            SetReadTarget(n + 1);
        } else {
            FLastError = SockApi::LastError();
            if (FLastError == SockApi::NotConnected)
                break;
            std::string text;
            CheckSocketError(SockApi::WouldBlock, text);
        }
        WaitForRead();
    } while (!FCanceled);

    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket readln aborted");
    }
    line.clear();
    if (!lineEnd)
        return;
    line.resize(lineLength);
    int n = Recv(line.data(), lineLength, 0);
    line.resize(n < 0 ? 0 : static_cast<size_t>(n));
}

void TKZSock::Transaction(const std::string& command, std::string& reply)
{
    ReportStatus(8, "Transaction");
    FReplyNumber = 0;
    Writeln(command);
    std::string line;
    ReadLn(line);
    FTransactionReply = line;
    if (!line.empty()) {
        ReportStatus(1, line);
        size_t digits = 0;
        while (digits < 10 && digits < line.size() && line[digits] >= '0' && line[digits] <= '9')
            ++digits;
        if (digits > 0)
            FReplyNumber = std::stoll(line.substr(0, digits));
    }
    reply = FTransactionReply;
}

bool TKZSock::DataAvailable()
{
    ReportStatus(8, "Data Available");
    return Recv(Buffer.data(), 1, MSG_PEEK) >= 1;
}

void TKZSock::ClearInput()
{
    ReportStatus(8, "Clearing Input");
    std::vector<char> scratch(BufferSize);
    Recv(scratch.data(), scratch.size(), 0);
}

void TKZSock::SendFile(const std::string& fileName)
{
    ReportStatus(8, "SendFile");
    int file = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        throw Exception(FileErrorText("Cannot open file", fileName, errno));
    Finally closeFile{[file] { ::close(file); }};
    struct stat info {};
    if (::fstat(file, &info) < 0)
        throw Exception(FileErrorText("Cannot open file", fileName, errno));
    const int64_t size = info.st_size;
    int64_t position = 0;
    // The time-out measures silence: every send that moves data restarts it.
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    std::string error;
    do {
        if (FCanceled)
            break;
        ssize_t k;
        do {
            k = ::read(file, Buffer.data(), BufferSize);
        } while (k < 0 && errno == EINTR);
        if (k < 0)
            throw Exception(FileErrorText("Cannot read file", fileName, errno));
        position += k;
        size_t remaining = static_cast<size_t>(k);
        do {
            ssize_t n = SockApi::Send(FSocketHandle, Buffer.data() + (k - static_cast<ssize_t>(remaining)),
                                      remaining);
            if (n == 0)
                break;
            if (n > 0) {
                remaining -= static_cast<size_t>(n);
                FBytesSent += n;
                if (OnPacketSent)
                    OnPacketSent(this);
                TimerOn();
                PumpBetweenChunks();
            } else {
                CheckSocketError(SockApi::WouldBlock, error);
                WaitForWrite();
            }
        } while (remaining > 0 && !FCanceled);
        if (k == 0)
            break; // the file ended early (it shrank while being sent)
    } while (position < size && !FCanceled);
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TKZSock::CaptureFile(const std::string& fileName)
{
    ReportStatus(8, "CaptureFile");
    FBytesRecvd = 0;
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    int file = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0)
        throw Exception(FileErrorText("Cannot create file", fileName, errno));
    Finally closeFile{[file] { ::close(file); }};
    // A chunk is taken from the socket either by splice into the pipe (one
    // copy less, larger chunks: see CapturePipe) or by recv into Buffer.
    // Both answer alike (bytes, 0 at the peer's close, -1 with the socket
    // error), so what follows is the same for both: the chunk is in the
    // file before it is counted, OnPacketRecvd fires and the time-out
    // restarts for every chunk, errors and cancels end the loop as they
    // always did. Declared after the file: the pipe closes first.
    CapturePipe pipe(file);
    std::string error;
    while (!FCanceled) {
        int n;
        if (pipe.IsOpen()) {
            bool refused = false;
            n = RecvIntoPipe(pipe.in, CapturePipe::Chunk, refused);
            if (refused) {
                // Nothing was taken: read this chunk and the rest by recv.
                pipe.Close();
                continue;
            }
        } else {
            n = Recv(Buffer.data(), BufferSize, 0);
        }
        if (n > 0) {
            if (pipe.IsOpen())
                pipe.Drain(file, static_cast<size_t>(n), Buffer.data(), BufferSize, fileName);
            else
                WriteAll(file, Buffer.data(), static_cast<size_t>(n), fileName);
            FBytesRecvd += n;
            if (OnPacketRecvd)
                OnPacketRecvd(this);
            TimerOn();
            PumpBetweenChunks();
        } else if (n < 0) {
            FLastError = SockApi::LastError();
            if (FLastError == SockApi::NotConnected)
                break;
            CheckSocketError(SockApi::WouldBlock, error);
            WaitForRead();
        } else {
            break;
        }
    }
    if (FCanceled) {
        FCanceled = false;
        throw EAbortError("Socket send aborted");
    }
}

// ---------------------------------------------------------------------------
// Listening and accepting

void TKZSock::Listen(bool useDoneMessage)
{
    ReportStatus(8, "Listening");
    if (Port < 0 || Port > 65535)
        throw ESockError("Listen: port " + std::to_string(Port) + " out of range 0..65535");
    std::memcpy(Buffer.data(), "0.0.0.0", 8);
    FRemoteAddress = sockaddr_in{};
    FRemoteAddress.sin_family = AF_INET;
    FRemoteAddress.sin_port = htons(static_cast<uint16_t>(Port));
    FRemoteAddress.sin_addr.s_addr = inet_addr(Buffer.data());
    Done = false;
    // A failing bind or listen is raised with its error text: the accept
    // notification it would prevent could never end a wait.
    if (SockApi::Bind(FSocketHandle, FRemoteAddress) < 0)
        RaiseSocketError(SockApi::LastError());
    if (SockApi::Listen(FSocketHandle, 1) < 0)
        RaiseSocketError(SockApi::LastError());
    SocketEntry* entry = Entry(FSocketHandle);
    if (!entry)
        entry = Register(FSocketHandle, WM_SOCKETEVENT, PhaseIdle);
    entry->kind = useDoneMessage ? WM_ASYNCDONE : WM_SOCKETEVENT;
    entry->phase = PhaseListening;
    entry->readArmed = true;
    UpdateNotifiers(*entry);
}

int TKZSock::Accept()
{
    ReportStatus(4, "Accepting");
    TimerOn();
    {
        Finally stop{[this] { TimerOff(); }};
        while (!(Done || FCanceled))
            ProcessMessages(true);
    }
    if (FTimedOut)
        throw ESockError("Accepting Timed Out");
    if (FCanceled)
        throw ESockError("Accepting Canceled");
    if (!Succeeded)
        throw ESockError("Error creating Data Connection");
    sockaddr_in peer{};
    int s = SockApi::Accept(FSocketHandle, &peer);
    // The next incoming connection may be reported again.
    if (SocketEntry* entry = Entry(FSocketHandle)) {
        entry->readArmed = true;
        UpdateNotifiers(*entry);
    }
    if (s < 0)
        RaiseSocketError(SockApi::LastError());
    Register(s, WM_SOCKETEVENT, PhaseConnected);
    FRemoteAddress = peer;
    return s;
}

void TKZSock::LocalAddressText(std::string& text)
{
    sockaddr_in address{};
    SockApi::GetSockName(FSocketHandle, &address);
    text = inet_ntoa(address.sin_addr);
    int replaced = 0;
    for (char& c : text) {
        if (replaced == 3)
            break;
        if (c == '.') {
            c = ',';
            ++replaced;
        }
    }
}

void TKZSock::LocalPortText(std::string& text)
{
    sockaddr_in address{};
    SockApi::GetSockName(FSocketHandle, &address);
    unsigned port = ntohs(address.sin_port);
    char formatted[32];
    std::snprintf(formatted, sizeof formatted, ",%u,%u", port / 256, port % 256);
    text = formatted;
}
