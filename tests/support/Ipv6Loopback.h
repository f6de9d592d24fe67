// Whether this machine can use the IPv6 loopback address ::1: tests that
// need it skip, saying why, where it cannot (a container without IPv6, a
// kernel built without it).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// Empty when a TCP socket can listen on ::1; else the reason it cannot.
inline std::string Ipv6LoopbackMissing()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("no IPv6 sockets: ") + std::strerror(errno);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    std::string reason;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(fd, 1) < 0)
        reason = std::string("::1 cannot be bound: ") + std::strerror(errno);
    ::close(fd);
    return reason;
}

// Skips the running test when ::1 is unusable.
#define SKIP_WITHOUT_IPV6_LOOPBACK()                                                            \
    do {                                                                                        \
        const std::string missing_ = Ipv6LoopbackMissing();                                     \
        if (!missing_.empty())                                                                  \
            GTEST_SKIP() << "IPv6 loopback unavailable on this machine (" << missing_ << ")";   \
    } while (false)
