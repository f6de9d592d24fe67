// Thin wrappers over the POSIX socket calls the socket component uses.
// Sockets are IPv4 or IPv6 TCP, non-blocking and close-on-exec from creation; calls
// are retried on EINTR; send never raises SIGPIPE. A failing call answers -1
// and leaves its error, mapped to the Winsock error number of the error-text
// table, for LastError(): errno is read in this file only.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace SockApi {

constexpr int WouldBlock = 10035;   // WSAEWOULDBLOCK
constexpr int NotConnected = 10057; // WSAENOTCONN

// The Winsock number of the last failure on this thread (0 before any).
int LastError();
// The Winsock number for a POSIX errno value (one table for the program).
int MapErrno(int error);

// A new non-blocking TCP socket of family (AF_INET or AF_INET6; protocol
// 0 or IPPROTO_TCP), or -1. An IPv6 socket takes IPv6 only.
int Socket(int protocol, int family = AF_INET);
// The address family of socket s (AF_UNSPEC when it cannot be told).
int Family(int s);
int Close(int s);
// EINPROGRESS counts as the would-block answer (10035).
int Connect(int s, const sockaddr* address, socklen_t length);
// Dissolves a pending or established connection; the socket stays usable.
int Dissolve(int s);
// recv/send without blocking; send never raises SIGPIPE.
ssize_t Recv(int s, void* data, size_t length, int flags);
ssize_t Send(int s, const void* data, size_t length);
// Moves up to length bytes queued on socket s into the pipe whose write end
// is pipeIn (splice: the pages are handed over, not copied), without
// blocking. Answers like Recv: bytes moved, 0 at the peer's close, -1 with
// LastError. refused tells that this kernel or socket takes no splice (the
// caller then reads with Recv); nothing has been moved in that case.
ssize_t SpliceFromSocket(int s, int pipeIn, size_t length, bool& refused);
int Bind(int s, const sockaddr* address, socklen_t length);
int Listen(int s, int backlog);
// Accepts one connection as a non-blocking socket; peer receives its address.
int Accept(int s, sockaddr_storage* peer);
int GetSockName(int s, sockaddr_storage* address);
int GetPeerName(int s, sockaddr_storage* address);
int SetLinger(int s, bool on, int seconds);
// Minimum number of queued bytes before the socket reports readable.
int SetReceiveLowWater(int s, int bytes);
// The pending error of the socket (SO_ERROR), mapped; 0 when none.
int PendingError(int s);
// True when the peer has shut down its sending side or the socket failed.
bool PeerClosed(int s);

} // namespace SockApi
