// TKZSock: host look-up, connecting, closing and cancelling.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <net/if.h>

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
    FAddresses.clear();
    FRemoteAddress = TSockAddress();

    // A numeric address needs no look-up: an IPv6 one (in brackets or
    // bare), or anything inet_addr reads as IPv4.
    TSockAddress literal;
    if (TSockAddress::ParseIPv6(Buffer.data(), literal)) {
        if (!literal.Unspecified())
            FAddresses.push_back(literal);
        FRemoteAddress = literal;
        return;
    }
    if (Buffer[0] == '[')
        throw ESockError("Host Lookup Failed"); // brackets hold IPv6 addresses only
    const in_addr_t dotted = inet_addr(Buffer.data());
    if (dotted != INADDR_NONE) {
        FRemoteAddress = TSockAddress::IPv4(dotted);
        if (dotted != INADDR_ANY)
            FAddresses.push_back(FRemoteAddress);
        return;
    }

    TimerOn();
    Done = false;
    FLookupAddresses.clear();
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
    FAddresses = FLookupAddresses;
    if (!FAddresses.empty())
        FRemoteAddress = FAddresses.front();
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
    // Every address of both families, in the order the resolver gave them;
    // the unspecified ones lead nowhere and are left out.
    FLookupAddresses.clear();
    if (error == 0) {
        for (const QHostAddress& address : info.addresses()) {
            TSockAddress entry;
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                entry = TSockAddress::IPv4(htonl(address.toIPv4Address()));
            } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
                sockaddr_in6 v6{};
                v6.sin6_family = AF_INET6;
                const Q_IPV6ADDR bytes = address.toIPv6Address();
                std::memcpy(&v6.sin6_addr, bytes.c, sizeof v6.sin6_addr);
                if (!address.scopeId().isEmpty())
                    v6.sin6_scope_id = if_nametoindex(address.scopeId().toUtf8().constData());
                entry = TSockAddress(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
            }
            if (!entry.Empty() && !entry.Unspecified())
                FLookupAddresses.push_back(entry);
        }
        if (FLookupAddresses.empty())
            error = 11004; // a name without an address
    }
    HandleSocketMessage(WM_ASYNCDONE, FSocketHandle, 0, error);
    Wake();
}

void TKZSock::OrderAddresses(std::vector<TSockAddress>&)
{
}

int TKZSock::StartAttempt(const TSockAddress& address, int& error)
{
    error = 0;
    const int s = NewSocket(true, address.Family());
    if (s == NoSocket) {
        // No socket of this family (a system without IPv6, say).
        error = SockApi::LastError();
        return NoSocket;
    }
    SocketEntry* entry = Entry(s);
    entry->used = true;
    if (SockApi::Connect(s, address.Data(), address.Length()) < 0) {
        FLastError = SockApi::LastError();
        if (FLastError != SockApi::WouldBlock) {
            error = FLastError;
            CloseRegistered(s);
            return NoSocket;
        }
        entry->phase = PhaseConnecting;
        FAttempts[s] = -1;
    } else {
        entry->phase = PhaseConnected;
        FAttempts[s] = 0;
    }
    UpdateNotifiers(*entry);
    return s;
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
            FAddresses.clear();
        }
        if (!FAddresses.empty())
            break;
        if (retries > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
        ++retries;
    }

    std::vector<TSockAddress> addresses = FAddresses;
    for (TSockAddress& address : addresses)
        address.SetPort(static_cast<uint16_t>(Proxy.empty() ? Port : ProxyPort));
    OrderAddresses(addresses);
    Done = false;
    Succeeded = true;
    FCloseError = 0;

    // Each address is dialled on a socket of its own that no earlier attempt
    // has used. The next address is started when every earlier attempt has
    // failed, or when they have stayed unanswered for NextAttemptDelay; the
    // first to connect is kept, the others are closed. One time-out covers
    // them all.
    std::map<int, size_t> dialled; // socket -> index of its address
    TSockAddress lastFailed;
    int lastError = 0;
    auto failed = [&](const TSockAddress& address, int error) {
        lastFailed = address;
        lastError = error;
        std::string reason;
        ErrorText(error, reason);
        ReportStatus(8, "Connection Failed: " + address.Text() + (reason.empty() ? "" : " (" + reason + ")"));
    };
    bool nextDue = true;
    QTimer nextTimer;
    nextTimer.setSingleShot(true);
    nextTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5 % early
    QObject::connect(&nextTimer, &QTimer::timeout, [&] { nextDue = true; });
    size_t next = 0;
    int winner = NoSocket;
    TSockAddress unanswered; // the address dialled last of those still open

    auto closeAttempts = [&] {
        nextTimer.stop();
        size_t latest = 0;
        for (const auto& [s, outcome] : FAttempts)
            if (s != winner) {
                if (unanswered.Empty() || dialled[s] >= latest) {
                    latest = dialled[s];
                    unanswered = addresses[latest];
                }
                CloseRegistered(s);
            }
        FAttempts.clear();
    };
    FAttempts.clear();
    TimerOn();
    Finally closeOnException{closeAttempts};
    ProcessMessages(false);
    for (;;) {
        for (auto it = FAttempts.begin(); it != FAttempts.end();) {
            if (it->second == 0 && winner == NoSocket) {
                winner = it->first;
                ++it;
            } else if (it->second > 0) {
                failed(addresses[dialled[it->first]], it->second);
                CloseRegistered(it->first);
                it = FAttempts.erase(it);
                nextDue = true; // a failure lets the next address start at once
            } else {
                ++it;
            }
        }
        if (winner != NoSocket || FTimedOut || FCanceled)
            break;
        if (nextDue && next < addresses.size()) {
            nextDue = false;
            const size_t index = next++;
            ReportStatus(8, "Connecting to " + addresses[index].Text());
            int error = 0;
            const int s = StartAttempt(addresses[index], error);
            if (s == NoSocket) {
                failed(addresses[index], error);
                nextDue = true;
            } else {
                dialled[s] = index;
                nextTimer.start(NextAttemptDelay);
            }
            continue;
        }
        if (FAttempts.empty() && next >= addresses.size())
            break; // every address failed
        ProcessMessages(true);
    }
    TimerOff();
    closeAttempts();

    if (winner != NoSocket) {
        // The winner becomes the component's socket, in place of the unused
        // one.
        if (FSocketHandle != NoSocket)
            CloseRegistered(FSocketHandle);
        FInput.Clear();
        FSocketHandle = winner;
        FRemoteAddress = addresses[dialled[winner]];
        // Data that came before the adoption was announced to nobody: the
        // next readiness is reported again.
        if (SocketEntry* entry = Entry(winner)) {
            entry->readArmed = true;
            UpdateNotifiers(*entry);
        }
        HandleSocketMessage(WM_SOCKETEVENT, winner, FD_CONNECT, 0);
        if (FConnected)
            return;
    }

    // Given up: the attempts' sockets are closed (with their notifiers), so
    // that a connection completing later can neither mark the component
    // connected nor fire OnConnect.
    Succeeded = false;
    if (FTimedOut && !unanswered.Empty())
        FRemoteAddress = unanswered;
    else if (!lastFailed.Empty())
        FRemoteAddress = lastFailed;
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (FTimedOut)
        throw ESockError("Connection Timed out: " + FRemoteAddress.Text());
    if (FCanceled)
        throw ESockError("Connection Canceled");
    std::string reason;
    ErrorText(lastError, reason);
    throw ESockError("Connection Failed: " + FRemoteAddress.Text() +
                     (reason.empty() ? "" : " (" + reason + ")"));
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
