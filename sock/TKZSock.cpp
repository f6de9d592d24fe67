// TKZSock: construction and destruction, the registry of sockets with their
// notifiers, status reports and errors.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"
#include "sock/ErrorText.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <sys/utsname.h>

namespace {

int winsockUsers = 0;

} // namespace

using namespace TKZSockInternal;

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
        PendingLookups().erase(FLookupId);
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

int TKZSock::NewSocket(bool linger, int family)
{
    int s = SockApi::Socket(linger ? IPPROTO_TCP : 0, family);
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

void TKZSock::RenewSocket()
{
    if (FSocketHandle != NoSocket)
        CloseRegistered(FSocketHandle);
    FInput.Clear();
    FSocketHandle = NewSocket(true);
}

void TKZSock::SetSocketHandle(int handle)
{
    if (handle != FSocketHandle) {
        FInput.Clear();
        FCloseError = 0;
    }
    FSocketHandle = handle;
    // A socket made elsewhere gets notifiers too, or no wait could ever
    // learn of its data.
    if (handle != NoSocket && !Entry(handle)) {
        sockaddr_storage peer{};
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

TSockAddress TKZSock::LocalAddress() const
{
    sockaddr_storage address{};
    if (SockApi::GetSockName(FSocketHandle, &address) < 0)
        return {};
    return TSockAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

TSockAddress TKZSock::PeerAddress() const
{
    sockaddr_storage address{};
    if (SockApi::GetPeerName(FSocketHandle, &address) < 0)
        return {};
    return TSockAddress(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void TKZSock::SetLinger(bool on, int seconds)
{
    if (SockApi::SetLinger(FSocketHandle, on, seconds) < 0)
        RaiseSocketError(SockApi::LastError());
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

void TKZSock::RaiseCloseError()
{
    if (int error = FCloseError) {
        FCloseError = 0;
        RaiseSocketError(error);
    }
}

void TKZSock::ErrorText(int code, std::string& text)
{
    ReportStatus(8, "Looking Up Error Message" + text);
    text = WinsockErrorText(code);
}
