// TKZSock: readiness notifications and the waits that block in the event
// loop until a socket, the time-out timer or a cancel wakes them.
#include "sock/TKZSock.h"
#include "sock/TKZSockInternal.h"

#include "sock/SockApi.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

using namespace TKZSockInternal;

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
        // One of Connect's attempts: Connect itself settles the outcome.
        auto attempt = FAttempts.find(handle);
        if (attempt != FAttempts.end()) {
            attempt->second = error;
            Wake();
            return;
        }
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
                // An error that ended the connection is kept for the reader:
                // the peek that saw it has taken it from the socket.
                if (error != 0)
                    FCloseError = error;
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
