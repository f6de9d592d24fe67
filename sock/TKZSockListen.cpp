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
    FRemoteAddress = sockaddr_in{};
    FRemoteAddress.sin_family = AF_INET;
    FRemoteAddress.sin_port = htons(static_cast<uint16_t>(Port));
    FRemoteAddress.sin_addr.s_addr = ListenAddress;
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
        sockaddr_in peer{};
        int s = SockApi::Accept(FSocketHandle, &peer);
        // The next incoming connection may be reported again.
        if (SocketEntry* entry = Entry(FSocketHandle)) {
            entry->readArmed = true;
            UpdateNotifiers(*entry);
        }
        if (s < 0)
            RaiseSocketError(SockApi::LastError());
        if (AcceptPeer == INADDR_ANY || peer.sin_addr.s_addr == AcceptPeer) {
            Register(s, WM_SOCKETEVENT, PhaseConnected);
            FRemoteAddress = peer;
            return s;
        }
        // Not the expected peer: reset at once, nothing read, and wait on
        // for the next one under the time-out already running.
        ReportStatus(4, std::string("Refused connection from ") + inet_ntoa(peer.sin_addr));
        SockApi::SetLinger(s, true, 0);
        SockApi::Close(s);
        Done = false;
    }
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
