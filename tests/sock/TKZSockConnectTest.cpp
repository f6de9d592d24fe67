// Lifecycle, look-up, connection, status, timer and waits of TKZSock against
// real loopback listeners.
#include "tests/sock/SockFixture.h"

#include <memory>
#include <thread>

using loopback::Listener;

namespace {

// A listener whose accept queue is full: a further connect stays pending
// (its SYN is dropped), which gives a connection wait that sits idle.
struct BlackHole {
    Listener listener{0};
    int filler = -1;
    BlackHole()
    {
        // With backlog 0 one connection fits the queue; the next SYN waits.
        filler = loopback::ConnectTo(listener.Port());
    }
    ~BlackHole()
    {
        if (filler >= 0)
            ::close(filler);
    }
};

TEST(TKZSockConnect, SucceedsAndFiresOnConnectInsideTheWait)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    bool returned = false;
    int onConnect = 0;
    bool connectedInHandler = false;
    sock.OnConnect = [&](QObject* sender) {
        ++onConnect;
        connectedInHandler = !returned && sender == &sock;
    };
    int peer = ConnectPair(sock, listener);
    returned = true;
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(onConnect, 1);
    EXPECT_TRUE(connectedInHandler);
    EXPECT_GE(peer, 0);
    EXPECT_EQ(sock.RemoteAddress().IPv4(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(sock.RemoteAddress().Port(), listener.Port());
    std::string text;
    sock.LocalAddressText(text);
    EXPECT_EQ(text, "127,0,0,1");

    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Already connected");

    int disconnects = 0;
    sock.OnDisconnect = [&](QObject*) { ++disconnects; };
    int before = sock.SocketHandle();
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(sock.SocketHandle(), TKZSock::NoSocket);
    // The fresh socket connects again at once.
    int peer2 = ConnectPair(sock, listener);
    EXPECT_TRUE(sock.Connected());
    EXPECT_GE(peer2, 0);
    (void)before;
    ::close(peer);
    ::close(peer2);
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, RefusedFailsAfterOnConnectionFailedAndLeavesLastError)
{
    TKZSock sock;
    Watchdog dog(sock);
    sock.Host = "127.0.0.1";
    sock.Port = loopback::ClosedPort();
    std::vector<std::string> order;
    sock.OnConnectionFailed = [&](QObject*) { order.push_back("failed"); };
    sock.OnConnect = [&](QObject*) { order.push_back("connect"); };
    std::string message = ThrownMessage<ESockError>([&] { sock.Connect(); });
    EXPECT_EQ(message, "Connection Failed: 127.0.0.1:" + std::to_string(sock.Port) + " (10061:Connection refused)");
    EXPECT_EQ(order, std::vector<std::string>{"failed"});
    EXPECT_FALSE(sock.Connected());
    // Only the would-block answer of connect reached LastError, not the
    // refusal carried by the connect notification.
    EXPECT_EQ(sock.LastError(), 10035);
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, NullAddressesAndTheOneInvalidHostRetry)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    sock.Port = listener.Port();
    int failed = 0;
    sock.OnConnectionFailed = [&](QObject*) { ++failed; };

    // "0.0.0.0" needs no look-up and is the null address.
    sock.Host = "0.0.0.0";
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Null Remote Address");

    // A name that does not resolve ends the same way (the look-up failure is
    // swallowed); a handler that does not set Handled changes nothing.
    sock.Host = "no-such-host.invalid";
    int asked = 0;
    sock.OnInvalidHost = [&](bool&) { ++asked; };
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);

    // The handler is asked once; fixing Host makes the retry succeed.
    sock.Host = "0.0.0.0";
    asked = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++asked;
        sock.Host = "localhost";
        handled = true;
    };
    int resolved = 0;
    sock.OnHostResolved = [&](QObject*) { ++resolved; };
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(resolved, 1);
    EXPECT_EQ(sock.RemoteAddress().IPv4(), htonl(INADDR_LOOPBACK));

    // A handler that keeps the address null is not asked a second time.
    sock.Disconnect();
    sock.Host = "0.0.0.0";
    asked = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(failed, 0);
    int peer = listener.Accept(1000);
    if (peer >= 0)
        ::close(peer);
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, ProxyReplacesHostAndPort)
{
    Listener proxy;
    TKZSock sock;
    Watchdog dog(sock);
    sock.Host = "0.0.0.0";
    sock.Port = loopback::ClosedPort();
    sock.Proxy = "127.0.0.1";
    sock.ProxyPort = proxy.Port();
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(sock.RemoteAddress().Port(), proxy.Port());
    int peer = proxy.Accept(1000);
    EXPECT_GE(peer, 0);
    ::close(peer);
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, TimeOutNamesTheTimeOutAndCancelEndsTheWait)
{
    BlackHole hole;
    ASSERT_GE(hole.filler, 0);
    TKZSock sock;
    Watchdog dog(sock);
    sock.Host = "127.0.0.1";
    sock.Port = hole.listener.Port();
    sock.TimeOut = 300;
    int failed = 0;
    int connects = 0;
    sock.OnConnectionFailed = [&](QObject*) { ++failed; };
    sock.OnConnect = [&](QObject*) { ++connects; };
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }),
              "Connection Timed out: 127.0.0.1:" + std::to_string(sock.Port));
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_TRUE(sock.Canceled());
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(sock.TimeoutTimer()->Running());

    // Cancel from a Qt timer during the wait; no time-out is running.
    sock.TimeOut = 0;
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Connection Canceled");
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_EQ(failed, 2);

    // The given-up attempts must not complete later: make room in the
    // listener's queue, wait past a SYN retransmission, and the component
    // is still not connected.
    ::close(hole.filler);
    hole.filler = -1;
    int queued = hole.listener.Accept(100);
    if (queued >= 0)
        ::close(queued);
    Pump(1500);
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(connects, 0);
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, TimeOutZeroStartsNoTimerAndTimerOnRestarts)
{
    TKZSock sock;
    Watchdog dog(sock);
    sock.TimeOut = 0;
    sock.TimerOn();
    EXPECT_FALSE(sock.TimeoutTimer()->Running());
    EXPECT_TRUE(sock.TimeoutTimer()->Enabled());
    sock.TimerOff();

    // Restarting at 200 ms pushes the tick of a 300 ms time-out to 500 ms.
    sock.TimeOut = 300;
    QElapsedTimer t;
    t.start();
    sock.TimerOn();
    EXPECT_TRUE(sock.TimeoutTimer()->Running());
    Pump(200);
    sock.TimerOn();
    Pump(200);
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_TRUE(PumpUntil([&] { return sock.TimedOut(); }, 2000));
    EXPECT_GE(t.elapsed(), 450);
    // One TimerOn gives one tick: the tick stopped the timer and aborted.
    EXPECT_FALSE(sock.TimeoutTimer()->Running());
    EXPECT_TRUE(sock.Canceled());
    sock.TimerOff();
    EXPECT_FALSE(dog.Fired());
}

TEST(TThreadTimer, SettersAndTicks)
{
    TThreadTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    // No handler: enabled, yet no timer runs.
    EXPECT_FALSE(timer.Running());
    int ticks = 0;
    timer.SetInterval(30);
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    });
    EXPECT_TRUE(timer.Running());
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }, 2000)); // repeats
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Running());
    int seen = ticks;
    Pump(100);
    EXPECT_EQ(ticks, seen);
    timer.SetEnabled(true);
    timer.SetInterval(0);
    EXPECT_FALSE(timer.Running());

    // A thread without an event loop can run no timer.
    std::string message;
    std::thread([&] {
        TThreadTimer orphan;
        message = ThrownMessage<Exception>([&] { orphan.SetOnTimer([](QObject*) {}); });
    }).join();
    EXPECT_EQ(message, "No Timer");
}

TEST(TKZSockConnect, ComponentsShareTheStartUpCount)
{
    int base = TKZSock::WinsockUsers();
    auto first = std::make_unique<TKZSock>();
    EXPECT_EQ(TKZSock::WinsockUsers(), base + 1);
    if (base == 0) {
        ASSERT_EQ(first->WinsockInfo().size(), 6u);
        EXPECT_EQ(first->WinsockInfo()[0], "Version= 1.1");
        EXPECT_EQ(first->WinsockInfo()[5].rfind("Max Udp pack size= ", 0), 0u);
    }
    auto second = std::make_unique<TKZSock>();
    EXPECT_EQ(TKZSock::WinsockUsers(), base + 2);
    EXPECT_TRUE(second->WinsockInfo().empty());
    first.reset();
    EXPECT_EQ(TKZSock::WinsockUsers(), base + 1);

    // The second component still works after the first is gone.
    Listener listener;
    Watchdog dog(*second);
    int peer = ConnectPair(*second, listener);
    EXPECT_TRUE(second->Connected());
    ::close(peer);
    second.reset();
    EXPECT_EQ(TKZSock::WinsockUsers(), base);
}

TEST(TKZSockConnect, StatusFilteringByReportLevel)
{
    Listener listener;
    for (int level : {0, 4, 8}) {
        TKZSock sock;
        Watchdog dog(sock);
        sock.ReportLevel = level;
        std::vector<std::string> seen;
        sock.OnStatus = [&](QObject* sender, const std::string& status) {
            EXPECT_EQ(sender, &sock);
            seen.push_back(status);
            throw std::runtime_error("handler failure is swallowed");
        };
        sock.Host = "127.0.0.1";
        sock.Port = listener.Port();
        sock.Connect();
        int peer = listener.Accept();
        loopback::SendAll(peer, "220 ready\r\n");
        std::string reply;
        sock.Transaction("NOOP", reply);
        sock.Disconnect();
        ::close(peer);

        auto has = [&](const std::string& text) {
            return std::find(seen.begin(), seen.end(), text) != seen.end();
        };
        if (level == 0) {
            EXPECT_TRUE(seen.empty());
            EXPECT_EQ(sock.Status(), "");
        } else if (level == 4) {
            EXPECT_EQ(seen, (std::vector<std::string>{"Sending Buffer", "220 ready\r\n", "Request Close Socket"}));
            EXPECT_EQ(sock.Status(), "Request Close Socket");
        } else {
            EXPECT_TRUE(has("Connecting"));
            EXPECT_TRUE(has("Resolve Host"));
            EXPECT_TRUE(has("Timer On"));
            EXPECT_TRUE(has("Timer Off"));
            EXPECT_TRUE(has("Transaction"));
            EXPECT_TRUE(has("Writeln"));
            EXPECT_TRUE(has("ReadLn"));
            EXPECT_TRUE(has("Disconnecting"));
            EXPECT_FALSE(has("Create"));
        }
        EXPECT_FALSE(dog.Fired());
    }
}

TEST(TKZSockConnect, ErrorTextAndCheckSocketError)
{
    TKZSock sock;
    std::string text = "x";
    sock.ErrorText(10061, text);
    EXPECT_EQ(text, "10061:Connection refused");
    sock.ErrorText(12345, text);
    EXPECT_EQ(text, "Unknown Error No. 12345");
    sock.ErrorText(0, text);
    EXPECT_EQ(text, "");

    // A real error raises with its text after OnError; would-block passes.
    int errors = 0;
    sock.OnError = [&](QObject*, uint16_t number, const std::string& message) {
        ++errors;
        EXPECT_EQ(number, 10057);
        EXPECT_EQ(message, "10057:Socket is not connected");
    };
    std::string line;
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Read(5, line); }), "10057:Socket is not connected");
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(sock.LastError(), 10057);
}

TEST(TKZSockConnect, CheckConnectionGivesOneChance)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    EXPECT_EQ(ThrownMessage<Exception>([&] { sock.CheckConnection(); }), "Not Connected");
    int asked = 0;
    sock.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        handled = true; // claims to have connected, but did not
    };
    EXPECT_EQ(ThrownMessage<Exception>([&] { sock.CheckConnection(); }), "Not Connected");
    EXPECT_EQ(asked, 1);
    sock.OnConnectionRequired = [&](bool& handled) {
        ++asked;
        ConnectPair(sock, listener);
        handled = true;
    };
    sock.CheckConnection();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(dog.Fired());
}

// Exposes the cancel flag, which the sleeping waits leave set.
struct ClearableSock : TKZSock {
    void ClearCanceled() { FCanceled = false; }
};

TEST(TKZSockConnect, CancelledLookUpNeverEndsALaterWait)
{
    ClearableSock sock;
    Watchdog dog(sock);
    sock.Host = "localhost";
    sock.Port = loopback::ClosedPort();
    // Cancel as soon as the look-up has been asked for.
    sock.ReportLevel = 8;
    sock.OnStatus = [&](QObject*, const std::string& status) {
        if (status == "Timer On")
            QTimer::singleShot(0, [&] { sock.Cancel(); });
    };
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Connect(); }), "Host Lookup Canceled");
    sock.OnStatus = nullptr;
    sock.ClearCanceled();

    // The look-up's completion, if it still comes, must not end this wait:
    // only the time-out may.
    sock.Port = 0;
    sock.Listen(true);
    sock.TimeOut = 500;
    EXPECT_EQ(ThrownMessage<ESockError>([&] { sock.Accept(); }), "Accepting Timed Out");
    EXPECT_FALSE(dog.Fired());

    // A component destroyed while its abandoned look-up is still under way:
    // the result arrives later and reaches nobody (nothing leaks either).
    auto gone = std::make_unique<TKZSock>();
    gone->Host = "localhost";
    gone->ReportLevel = 8;
    gone->OnStatus = [&](QObject*, const std::string& status) {
        if (status == "Timer On")
            QTimer::singleShot(0, [&] { gone->Cancel(); });
    };
    EXPECT_EQ(ThrownMessage<ESockError>([&] { gone->Connect(); }), "Host Lookup Canceled");
    gone.reset();
    Pump(300);
}

TEST(TKZSockConnect, NotificationsOfAClosedSocketDoNotReachTheNewOne)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    int disconnects = 0;
    sock.OnDisconnect = [&](QObject*) { ++disconnects; };
    int peer = ConnectPair(sock, listener);
    // The peer sends and closes; before the notifications are handled the
    // component closes that socket and connects a new one (which very likely
    // reuses the descriptor number).
    loopback::SendAll(peer, "bye\r\n");
    ::close(peer);
    loopback::Sleep(50);
    sock.Disconnect();
    EXPECT_EQ(disconnects, 1);
    int peer2 = ConnectPair(sock, listener);
    Pump(200);
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock.DataAvailable());

    // A close of the current socket with no unread data closes it.
    ::close(peer2);
    EXPECT_TRUE(PumpUntil([&] { return disconnects == 2; }, 3000));
    EXPECT_FALSE(sock.Connected());
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockConnect, CloseWithUnreadDataLeavesTheSocketToTheReaders)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    int disconnects = 0;
    int dataNotes = 0;
    sock.OnDisconnect = [&](QObject*) { ++disconnects; };
    sock.OnDataAvailable = [&](QObject*) {
        ++dataNotes;
        throw std::runtime_error("swallowed by the notification handler");
    };
    int peer = ConnectPair(sock, listener);
    loopback::SendAll(peer, "last line\r\n");
    ::close(peer);
    Pump(300);
    EXPECT_EQ(dataNotes, 1); // not repeated until the component reads
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(disconnects, 0);
    std::string line;
    sock.ReadLn(line);
    EXPECT_EQ(line, "last line\r\n");
    sock.ReadLn(line);
    EXPECT_EQ(line, "");
    EXPECT_FALSE(dog.Fired());
}

} // namespace
