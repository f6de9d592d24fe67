// TSockAddress: an IPv4 or IPv6 socket address, its texts and comparisons.
#include "sock/TKZSock.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <cstring>

TSockAddress::TSockAddress(const sockaddr* address, socklen_t length)
{
    if (!address)
        return;
    if (address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in)))
        std::memcpy(&FStorage, address, sizeof(sockaddr_in));
    else if (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6)))
        std::memcpy(&FStorage, address, sizeof(sockaddr_in6));
}

TSockAddress TSockAddress::IPv4(uint32_t address, int port)
{
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = address;
    v4.sin_port = htons(uint16_t(port));
    return TSockAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

bool TSockAddress::ParseIPv6(const std::string& text, TSockAddress& address)
{
    std::string bare = text;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    // Only a text with a colon can be an IPv6 address; the numeric look-up
    // also reads a zone ("%eth0") into the scope.
    if (bare.find(':') == std::string::npos || bare.find('\0') != std::string::npos)
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(bare.c_str(), nullptr, &hints, &found) != 0 || !found)
        return false;
    address = TSockAddress(found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    return address.Family() == AF_INET6;
}

bool TSockAddress::Unspecified() const
{
    if (Family() == AF_INET)
        return IPv4() == INADDR_ANY;
    if (Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&FStorage);
        return IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
    }
    return false;
}

int TSockAddress::Port() const
{
    if (Family() == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&FStorage)->sin_port);
    if (Family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&FStorage)->sin6_port);
    return 0;
}

void TSockAddress::SetPort(int port)
{
    if (Family() == AF_INET)
        reinterpret_cast<sockaddr_in*>(&FStorage)->sin_port = htons(uint16_t(port));
    else if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&FStorage)->sin6_port = htons(uint16_t(port));
}

uint32_t TSockAddress::IPv4() const
{
    return Family() == AF_INET ? reinterpret_cast<const sockaddr_in*>(&FStorage)->sin_addr.s_addr : 0;
}

bool TSockAddress::SameHost(const TSockAddress& other) const
{
    if (Family() != other.Family())
        return false;
    if (Family() == AF_INET)
        return IPv4() == other.IPv4();
    if (Family() == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&FStorage);
        const auto* b = reinterpret_cast<const sockaddr_in6*>(&other.FStorage);
        return std::memcmp(&a->sin6_addr, &b->sin6_addr, sizeof a->sin6_addr) == 0 &&
               a->sin6_scope_id == b->sin6_scope_id;
    }
    return false;
}

std::string TSockAddress::HostText() const
{
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
    if (Family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&FStorage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return text;
    }
    if (Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&FStorage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        std::string result = text;
        if (v6->sin6_scope_id != 0) {
            char name[IF_NAMESIZE] = {};
            result += "%";
            result += if_indextoname(v6->sin6_scope_id, name) ? std::string(name)
                                                              : std::to_string(v6->sin6_scope_id);
        }
        return result;
    }
    return {};
}

std::string TSockAddress::Text() const
{
    if (Family() == AF_INET)
        return HostText() + ":" + std::to_string(Port());
    if (Family() == AF_INET6)
        return "[" + HostText() + "]:" + std::to_string(Port());
    return {};
}

socklen_t TSockAddress::Length() const
{
    if (Family() == AF_INET)
        return sizeof(sockaddr_in);
    if (Family() == AF_INET6)
        return sizeof(sockaddr_in6);
    return 0;
}
