// The line input of TKZSock (lines taken from bytes received ahead) and the
// fresh socket of every connection attempt, against loopback peers.
#include "tests/sock/SockFixture.h"

#include <QDir>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

using loopback::Listener;
using loopback::Peer;

namespace {

std::string Line(int i) { return "230-line " + std::to_string(i) + "\r\n"; }

} // namespace

// Many pending lines come out one by one and in order, a line of exactly
// the buffer's size is taken, and whatever ReadLn received ahead reaches
// the other readers first: DataAvailable, Read with a count, Read(0) and
// CaptureFile.
TEST(TKZSockLineInput, LinesReceivedAheadReachEveryReaderInOrder)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    int peer = ConnectPair(sock, listener);
    ASSERT_GE(peer, 0);
    std::string all;
    for (int i = 0; i < 20000; ++i)
        all += Line(i);
    const std::string longest = std::string(TKZSock::BufferSize - 1, 'x') + "\n";
    all += longest + "abcdefgh";
    Peer script([peer, &all] { loopback::SendAll(peer, all); });
    std::string line;
    for (int i = 0; i < 20000; ++i) {
        sock.ReadLn(line);
        ASSERT_EQ(line, Line(i));
    }
    sock.ReadLn(line);
    EXPECT_TRUE(line == longest) << "a line of 65,536 bytes, LF included";
    script.Join();
    ASSERT_TRUE(PumpUntil([&] { return sock.DataAvailable(); }));
    std::string text;
    sock.Read(3, text);
    EXPECT_EQ(text, "abc");
    sock.Read(0, text);
    EXPECT_EQ(text, "defgh");
    EXPECT_FALSE(sock.DataAvailable());

    // Bytes after a line go to the file first, then the rest of the stream.
    loopback::SendAll(peer, "150 go\r\nhead-");
    sock.ReadLn(line);
    EXPECT_EQ(line, "150 go\r\n");
    Peer rest([peer] {
        loopback::Sleep(50);
        loopback::SendAll(peer, "and-tail");
        ::close(peer);
    });
    QTemporaryDir dir(QDir(WISPLOG_BINARY_DIR).filePath("sock-test-XXXXXX"));
    const std::string file = dir.filePath("capture").toStdString();
    sock.CaptureFile(file);
    rest.Join();
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "head-and-tail");
    EXPECT_EQ(sock.BytesRecvd(), 13);
    EXPECT_FALSE(dog.Fired());
}

// A connection reset while nobody reads is not taken for an ordinary end:
// the read that meets it raises the socket's error.
TEST(TKZSockLineInput, ResetSeenByANotificationIsRaisedByTheNextRead)
{
    Listener listener;
    TKZSock sock;
    Watchdog dog(sock);
    int peer = ConnectPair(sock, listener);
    ASSERT_GE(peer, 0);
    linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer);
    // The event loop sees the reset first (no read is running).
    ASSERT_TRUE(PumpUntil([&] { return !sock.Connected(); }));
    QTemporaryDir dir(QDir(WISPLOG_BINARY_DIR).filePath("sock-test-XXXXXX"));
    const std::string message =
        ThrownMessage<ESockError>([&] { sock.CaptureFile(dir.filePath("c").toStdString()); });
    EXPECT_NE(message.find("reset"), std::string::npos) << message;
    EXPECT_FALSE(dog.Fired());
}

namespace {

// A listener whose accept queue is full, so a connect to it stays pending.
struct FullQueue {
    Listener listener{0};
    int filler = loopback::ConnectTo(listener.Port());
    ~FullQueue()
    {
        if (filler >= 0)
            ::close(filler);
    }
};

} // namespace

// A refused, timed-out or cancelled connect, or a failed look-up, leaves
// nothing behind: the next Connect of the same component, to a working
// peer, gets through at once (twice in a row).
TEST(TKZSockFreshConnect, AFailedAttemptDoesNotSpoilTheNextOnes)
{
    FullQueue hole;
    ASSERT_GE(hole.filler, 0);
    struct Case {
        const char* name;
        std::function<void(TKZSock&)> setUp;
    };
    const std::vector<Case> cases{
        {"refused", [](TKZSock& s) { s.Port = loopback::ClosedPort(); }},
        {"timed out", [&](TKZSock& s) { s.Port = hole.listener.Port(); s.TimeOut = 300; }},
        {"cancelled",
         [&](TKZSock& s) {
             s.Port = hole.listener.Port();
             QTimer::singleShot(150, [&s] { s.Cancel(); });
         }},
        {"look-up failed", [](TKZSock& s) { s.Host = "no-such-host.invalid"; s.TimeOut = 5000; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TKZSock sock;
        Watchdog dog(sock);
        sock.Host = "127.0.0.1";
        c.setUp(sock);
        EXPECT_NE(ThrownMessage<ESockError>([&] { sock.Connect(); }), "");
        EXPECT_FALSE(sock.Connected());
        for (int round = 0; round < 2; ++round) {
            Listener working;
            sock.Host = "127.0.0.1";
            sock.Port = working.Port();
            sock.TimeOut = 5000;
            EXPECT_NO_THROW(sock.Connect());
            int accepted = working.Accept(5000);
            ASSERT_GE(accepted, 0) << "the peer saw no connection";
            sock.Writeln("hello");
            EXPECT_EQ(loopback::RecvCount(accepted, 7), "hello\r\n");
            ::close(accepted);
            sock.Disconnect();
        }
        EXPECT_FALSE(dog.Fired());
    }
}
