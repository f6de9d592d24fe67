// TKZSock: host look-up, connecting, closing and cancelling.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>

#include <arpa/inet.h>

#include <cstring>

std::map<int, TKZSock*>& TKZSockInternal::PendingLookups()
{
    static std::map<int, TKZSock*> lookups;
    return lookups;
}

namespace {

// Look-ups handed to Qt whose answer has not come back yet.
int RunningLookups = 0;

QObject* LookupReceiver()
{
    static QPointer<QObject> receiver;
    if (!receiver)
        receiver = new QObject(QCoreApplication::instance());
    return receiver;
}

} // namespace

using namespace TKZSockInternal;

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
                                          --RunningLookups;
                                          auto it = PendingLookups().find(info.lookupId());
                                          if (it == PendingLookups().end())
                                              return;
                                          TKZSock* sock = it->second;
                                          PendingLookups().erase(it);
                                          sock->LookupFinished(info);
                                      });
    ++RunningLookups;
    PendingLookups()[FLookupId] = this;
    ProcessMessages(false);
    while (!(Done || FTimedOut || FCanceled))
        ProcessMessages(true);
    TimerOff();
    // A look-up abandoned by time-out or cancel is forgotten: its result,
    // whenever it comes, reaches nobody. (It is not withdrawn with
    // abortHostLookup, which leaks the result handler.)
    PendingLookups().erase(FLookupId);
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

int TKZSock::LookupsRunning()
{
    return RunningLookups;
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

    // Every attempt dials on a socket that has never been used: a socket
    // that took part in an earlier attempt may still carry its outcome.
    SocketEntry* fresh = Entry(FSocketHandle);
    if (!fresh || fresh->used)
        RenewSocket();
    FCloseError = 0;
    if (SocketEntry* entry = Entry(FSocketHandle))
        entry->used = true;

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

    // The attempt is given up: its socket is closed (with its notifiers), so
    // that a connection completing later can neither mark the component
    // connected nor fire OnConnect, and the next attempt starts afresh.
    if (!FConnected)
        RenewSocket();
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
    EndTls();
    FInput.Clear();
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
