// Loopback peers for the socket tests: blocking POSIX sockets on 127.0.0.1,
// ports chosen by the system, every blocking call bounded by a time-out so
// that a fault fails a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace loopback {

inline constexpr int PeerTimeoutMs = 10000;

inline void Bound(int fd)
{
    timeval tv{PeerTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

inline sockaddr_in Address(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on 127.0.0.1 and a system-chosen port.
class Listener {
public:
    explicit Listener(int backlog = 4)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address(0);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd_, backlog) < 0)
            throw std::runtime_error("loopback listener failed");
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint16_t Port() const { return port_; }
    int Fd() const { return fd_; }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    // One accepted connection, or -1 when none came within timeoutMs.
    int Accept(int timeoutMs = PeerTimeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return -1;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0)
            Bound(c);
        return c;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port on which nothing listens (bound once, then released).
inline uint16_t ClosedPort()
{
    Listener l;
    return l.Port();
}

// A blocking client connected to 127.0.0.1:port, or -1.
inline int ConnectTo(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(port);
    Bound(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Exactly count bytes (fewer when the peer closes or the time-out passes).
inline std::string RecvCount(int fd, size_t count)
{
    std::string all;
    char buf[65536];
    while (all.size() < count) {
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - all.size()), 0);
        if (n <= 0)
            break;
        all.append(buf, static_cast<size_t>(n));
    }
    return all;
}

inline void Sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Runs a peer script on its own thread; joined on destruction.
class Peer {
public:
    template <class F>
    explicit Peer(F&& script) : thread_(std::forward<F>(script)) {}
    ~Peer()
    {
        if (thread_.joinable())
            thread_.join();
    }
    void Join() { thread_.join(); }

private:
    std::thread thread_;
};

} // namespace loopback
