// TKZSock: listening for and accepting a connection, and the local address
// in the form of a PORT command.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

using namespace TKZSockInternal;

void TKZSock::Listen(bool useDoneMessage)
{
    ReportStatus(8, "Listening");
    if (Port < 0 || Port > 65535)
        throw ESockError("Listen: port " + std::to_string(Port) + " out of range 0..65535");
    FRemoteAddress = ListenAddress.Empty() ? TSockAddress::IPv4(INADDR_ANY) : ListenAddress;
    FRemoteAddress.SetPort(Port);
    Done = false;
    // The socket must be of the address's family; an unused one of the
    // other family is replaced.
    if (SockApi::Family(FSocketHandle) != FRemoteAddress.Family()) {
        SocketEntry* old = Entry(FSocketHandle);
        if (old && old->used)
            throw ESockError("Listen: the socket is in use");
        if (FSocketHandle != NoSocket)
            CloseRegistered(FSocketHandle);
        FSocketHandle = NewSocket(true, FRemoteAddress.Family());
        if (FSocketHandle == NoSocket)
            RaiseSocketError(SockApi::LastError());
    }
    // A failing bind or listen is raised with its error text: the accept
    // notification it would prevent could never end a wait.
    if (SockApi::Bind(FSocketHandle, FRemoteAddress.Data(), FRemoteAddress.Length()) < 0)
        RaiseSocketError(SockApi::LastError());
    if (SockApi::Listen(FSocketHandle, 1) < 0)
        RaiseSocketError(SockApi::LastError());
    SocketEntry* entry = Entry(FSocketHandle);
    if (!entry)
        entry = Register(FSocketHandle, WM_SOCKETEVENT, PhaseIdle);
    entry->used = true;
    entry->kind = useDoneMessage ? WM_ASYNCDONE : WM_SOCKETEVENT;
    entry->phase = PhaseListening;
    entry->readArmed = true;
    UpdateNotifiers(*entry);
}

int TKZSock::Accept()
{
    ReportStatus(4, "Accepting");
    TimerOn();
    Finally stop{[this] { TimerOff(); }};
    for (;;) {
        while (!(Done || FCanceled))
            ProcessMessages(true);
        if (FTimedOut)
            throw ESockError("Accepting Timed Out");
        if (FCanceled)
            throw ESockError("Accepting Canceled");
        if (!Succeeded)
            throw ESockError("Error creating Data Connection");
        sockaddr_storage peerStorage{};
        int s = SockApi::Accept(FSocketHandle, &peerStorage);
        const TSockAddress peer(reinterpret_cast<const sockaddr*>(&peerStorage), sizeof peerStorage);
        // The next incoming connection may be reported again.
        if (SocketEntry* entry = Entry(FSocketHandle)) {
            entry->readArmed = true;
            UpdateNotifiers(*entry);
        }
        if (s < 0)
            RaiseSocketError(SockApi::LastError());
        if (AcceptPeer.Empty() || peer.SameHost(AcceptPeer)) {
            Register(s, WM_SOCKETEVENT, PhaseConnected);
            FRemoteAddress = peer;
            return s;
        }
        // Not the expected peer: reset at once, nothing read, and wait on
        // for the next one under the time-out already running.
        ReportStatus(4, "Refused connection from " + peer.HostText());
        SockApi::SetLinger(s, true, 0);
        SockApi::Close(s);
        Done = false;
    }
}

void TKZSock::LocalAddressText(std::string& text)
{
    in_addr address{};
    address.s_addr = LocalAddress().IPv4();
    text = inet_ntoa(address);
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
    unsigned port = unsigned(LocalAddress().Port());
    char formatted[32];
    std::snprintf(formatted, sizeof formatted, ",%u,%u", port / 256, port % 256);
    text = formatted;
}
