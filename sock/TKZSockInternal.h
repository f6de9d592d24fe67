// Private to the socket component's sources: what its parts share about the
// registered sockets and the small helpers used by more than one part.
#pragma once

#include "sock/TKZSock.h"

#include <QSocketNotifier>

#include <map>
#include <string>

namespace TKZSockInternal {

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

// "<what> "<fileName>". <reason>", the text of a failing file operation.
std::string FileErrorText(const char* what, const std::string& fileName, int error);
// Writes all of data into file. Throws Exception "Cannot write file".
void WriteAll(int file, const char* data, size_t length, const std::string& fileName);

// Host look-ups under way, by look-up id, with the component waiting for each.
std::map<int, TKZSock*>& PendingLookups();

} // namespace TKZSockInternal

// One socket registered with the component: its notifiers and the state of
// the notifications it owes (after the Winsock rules: a read or accept
// notification is not repeated until the socket has been read or accepted
// from; a close is reported once).
struct TKZSock::SocketEntry {
    int handle = NoSocket;
    int kind = WM_SOCKETEVENT; // notification kind for this socket
    int phase = TKZSockInternal::PhaseIdle;
    bool readArmed = true;     // the next readiness may be reported
    bool wantWrite = false;    // a send loop waits for room
    bool used = false;         // a connect or listen was tried on it
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
};
