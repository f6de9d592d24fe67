// Addresses of both families: numeric IPv6 hosts, listening and accepting on
// ::1, and hosts of several addresses dialled in order, the next one started
// when an earlier one refuses or stays silent.
#include "tests/sock/SockFixture.h"
#include "tests/support/Ipv6Loopback.h"

#include <QElapsedTimer>

using loopback::Listener;

namespace {

// Dials the given addresses instead of the ones the host resolves to (the
// test machine's resolver gives no name two addresses reliably).
class OrderedSock : public TKZSock {
public:
    std::vector<TSockAddress> Order;

protected:
    void OrderAddresses(std::vector<TSockAddress>& addresses) override
    {
        if (!Order.empty())
            addresses = Order;
    }
};

TSockAddress Loopback4(uint16_t port)
{
    return TSockAddress::IPv4(htonl(INADDR_LOOPBACK), port);
}

TSockAddress Loopback6(uint16_t port)
{
    TSockAddress address;
    TSockAddress::ParseIPv6("::1", address);
    address.SetPort(port);
    return address;
}

// A listener on ::1 and a system-chosen port.
struct Listener6 {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    Listener6()
    {
        TSockAddress any = Loopback6(0);
        sockaddr_in6 bound{};
        socklen_t length = sizeof bound;
        if (fd < 0 || ::bind(fd, any.Data(), any.Length()) < 0 || ::listen(fd, 4) < 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) < 0)
            throw std::runtime_error("listener on ::1 failed");
        port = ntohs(bound.sin6_port);
    }
    ~Listener6() { ::close(fd); }
};

// A listener whose accept queue is full: a further connect stays unanswered.
struct Silent {
    Listener listener{0};
    int filler = loopback::ConnectTo(listener.Port());
    ~Silent()
    {
        if (filler >= 0)
            ::close(filler);
    }
};

} // namespace

TEST(TSockAddress, NumericIPv6TextsAndComparisons)
{
    TSockAddress a;
    ASSERT_TRUE(TSockAddress::ParseIPv6("[2001:DB8::1]", a));
    a.SetPort(21);
    EXPECT_EQ(a.Family(), AF_INET6);
    EXPECT_EQ(a.HostText(), "2001:db8::1");
    EXPECT_EQ(a.Text(), "[2001:db8::1]:21");
    EXPECT_EQ(a.IPv4(), 0u);
    TSockAddress bare;
    ASSERT_TRUE(TSockAddress::ParseIPv6("2001:db8:0::1", bare));
    EXPECT_TRUE(a.SameHost(bare)) << "the port is not compared";
    EXPECT_FALSE(a.SameHost(Loopback6(21)));
    EXPECT_FALSE(Loopback4(21).SameHost(Loopback6(21)));
    EXPECT_EQ(Loopback4(2121).Text(), "127.0.0.1:2121");

    TSockAddress zoned;
    ASSERT_TRUE(TSockAddress::ParseIPv6("[fe80::1%lo]", zoned));
    EXPECT_EQ(zoned.HostText(), "fe80::1%lo");
    TSockAddress unspecified;
    ASSERT_TRUE(TSockAddress::ParseIPv6("[::]", unspecified));
    EXPECT_TRUE(unspecified.Unspecified());

    TSockAddress untouched = Loopback4(1);
    for (const char* text : {"", "[]", "[::1", "::1]", "127.0.0.1", "[127.0.0.1]", "host.example",
                             "[host.example]", "1:2:3:4:5:6:7:8:9", "::1 "})
        EXPECT_FALSE(TSockAddress::ParseIPv6(text, untouched)) << text;
    EXPECT_TRUE(untouched.SameHost(Loopback4(1)));
}

TEST(TKZSockIPv6, ConnectsToALiteralListensAndChecksThePeer)
{
    SKIP_WITHOUT_IPV6_LOOPBACK();
    Listener6 server;
    for (const char* host : {"[::1]", "::1"}) {
        TKZSock sock;
        Watchdog dog(sock);
        sock.Host = host;
        sock.Port = server.port;
        sock.TimeOut = 5000;
        int resolved = 0;
        sock.OnHostResolved = [&](QObject*) { ++resolved; };
        sock.Connect();
        EXPECT_TRUE(sock.Connected()) << host;
        EXPECT_EQ(resolved, 0) << "a numeric address needs no look-up";
        EXPECT_EQ(sock.RemoteAddress().Text(), "[::1]:" + std::to_string(server.port));
        EXPECT_EQ(sock.LocalAddress().Family(), AF_INET6);
        EXPECT_TRUE(sock.PeerAddress().SameHost(Loopback6(0)));
        const int peer = ::accept4(server.fd, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_GE(peer, 0);
        ::close(peer);
        EXPECT_FALSE(dog.Fired());
    }

    // Listening on ::1: a connection from the expected peer is taken.
    TKZSock data;
    Watchdog dog(data);
    data.Port = 0;
    data.TimeOut = 5000;
    data.ListenAddress = Loopback6(0);
    data.AcceptPeer = Loopback6(0);
    data.Listen(true);
    ASSERT_EQ(data.LocalAddress().Family(), AF_INET6);
    const int client = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const TSockAddress target = Loopback6(uint16_t(data.LocalAddress().Port()));
    ASSERT_EQ(::connect(client, target.Data(), target.Length()), 0);
    const int accepted = data.Accept();
    EXPECT_GE(accepted, 0);
    EXPECT_TRUE(data.RemoteAddress().SameHost(Loopback6(0)));
    data.AdoptAcceptedSocket(accepted);
    ::close(client);
    EXPECT_FALSE(dog.Fired());
}

// The first address refuses: the next is dialled at once, without waiting
// for the delay, and the status names both. An IPv6 first address also
// fails cleanly on a machine without IPv6.
TEST(TKZSockAddresses, RefusedFirstAddressGoesOnToTheNextAtOnce)
{
    Listener listener;
    for (const TSockAddress& first : {Loopback4(loopback::ClosedPort()), Loopback6(loopback::ClosedPort())}) {
        OrderedSock sock;
        Watchdog dog(sock);
        sock.Host = "127.0.0.1";
        sock.TimeOut = 5000;
        sock.Order = {first, Loopback4(listener.Port())};
        sock.ReportLevel = 8;
        std::vector<std::string> statuses;
        sock.OnStatus = [&](QObject*, const std::string& text) {
            if (text.rfind("Conn", 0) == 0 && text != "Connecting")
                statuses.push_back(text);
        };
        int failed = 0;
        sock.OnConnectionFailed = [&](QObject*) { ++failed; };
        QElapsedTimer clock;
        clock.start();
        sock.Connect();
        EXPECT_LT(clock.elapsed(), TKZSock::NextAttemptDelay);
        EXPECT_TRUE(sock.Connected());
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(sock.RemoteAddress().Port(), listener.Port());
        ASSERT_GE(statuses.size(), 3u);
        EXPECT_EQ(statuses[0], "Connecting to " + first.Text());
        EXPECT_EQ(statuses[1].rfind("Connection Failed: " + first.Text() + " (100", 0), 0u) << statuses[1];
        EXPECT_EQ(statuses[2], "Connecting to " + Loopback4(listener.Port()).Text());
        const int peer = listener.Accept(1000);
        EXPECT_GE(peer, 0);
        ::close(peer);
        EXPECT_FALSE(dog.Fired());
    }
}

// The first address stays silent: the next one starts after the delay and
// wins; the silent attempt is dropped and never connects the component.
TEST(TKZSockAddresses, SilentFirstAddressIsOvertakenAfterTheDelay)
{
    Silent hole;
    ASSERT_GE(hole.filler, 0);
    Listener listener;
    OrderedSock sock;
    Watchdog dog(sock);
    sock.Host = "127.0.0.1";
    sock.TimeOut = 5000;
    sock.Order = {Loopback4(hole.listener.Port()), Loopback4(listener.Port())};
    int connects = 0;
    sock.OnConnect = [&](QObject*) { ++connects; };
    QElapsedTimer clock;
    clock.start();
    sock.Connect();
    const qint64 took = clock.elapsed();
    EXPECT_GE(took, TKZSock::NextAttemptDelay);
    EXPECT_LT(took, 2500) << "far less than the time-out";
    EXPECT_EQ(sock.RemoteAddress().Port(), listener.Port());

    // Room in the silent listener's queue now lets nothing reach us.
    ::close(hole.filler);
    hole.filler = -1;
    const int queued = hole.listener.Accept(100);
    if (queued >= 0)
        ::close(queued);
    Pump(1200);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(sock.RemoteAddress().Port(), listener.Port());
    const int peer = listener.Accept(1000);
    EXPECT_GE(peer, 0);
    ::close(peer);
    EXPECT_FALSE(dog.Fired());
}

// Every address fails: the message names the address that failed last, and
// one time-out covers all attempts.
TEST(TKZSockAddresses, AllFailingNamesTheLastAddress)
{
    const uint16_t closed1 = loopback::ClosedPort();
    const uint16_t closed2 = loopback::ClosedPort();
    OrderedSock sock;
    Watchdog dog(sock);
    sock.Host = "127.0.0.1";
    sock.TimeOut = 5000;
    sock.Order = {Loopback4(closed1), Loopback4(closed2)};
    int failed = 0;
    sock.OnConnectionFailed = [&](QObject*) { ++failed; };
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }),
              "Connection Failed: 127.0.0.1:" + std::to_string(closed2) + " (10061:Connection refused)");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(sock.RemoteAddress().Port(), closed2);
    EXPECT_FALSE(sock.Connected());

    Silent hole1, hole2;
    sock.Order = {Loopback4(hole1.listener.Port()), Loopback4(hole2.listener.Port())};
    sock.TimeOut = 700;
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }),
              "Connection Timed out: 127.0.0.1:" + std::to_string(hole2.listener.Port()));
    EXPECT_LT(clock.elapsed(), 1400) << "one time-out for all attempts";
    EXPECT_EQ(failed, 2);

    // Stopped while two attempts wait: both are given up.
    sock.TimeOut = 0;
    QTimer::singleShot(400, [&] { sock.Cancel(); });
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Connection Canceled");
    EXPECT_FALSE(dog.Fired());
}
