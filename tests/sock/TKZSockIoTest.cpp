// Buffered input and output, file streaming, listening and accepting of
// TKZSock against scripted loopback peers.
#include "tests/sock/SockFixture.h"

#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

using loopback::Listener;
using loopback::Peer;

namespace {

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Bytes queued unread on the component's socket.
int Pending(const TKZSock& sock)
{
    int pending = 0;
    ::ioctl(sock.SocketHandle(), FIONREAD, &pending);
    return pending;
}

void WriteFile(const std::string& name, const std::string& content)
{
    std::ofstream(name, std::ios::binary) << content;
}

class TKZSockIo : public ::testing::Test {
protected:
    Listener listener;
    TKZSock sock;
    Watchdog dog{sock};
    int peer = -1;
    QTemporaryDir dir{QDir(WISPLOG_BINARY_DIR).filePath("sock-test-XXXXXX")};

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        peer = ConnectPair(sock, listener);
        ASSERT_GE(peer, 0);
    }
    void TearDown() override
    {
        if (peer >= 0)
            ::close(peer);
        EXPECT_FALSE(dog.Fired());
    }
    std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
};

TEST_F(TKZSockIo, ReadLnTakesOneLineAndLeavesTheNext)
{
    loopback::SendAll(peer, "first\r\nsecond\r\n");
    std::string line;
    sock.ReadLn(line);
    EXPECT_EQ(line, "first\r\n");
    EXPECT_TRUE(sock.DataAvailable());
    sock.ReadLn(line);
    EXPECT_EQ(line, "second\r\n");
    EXPECT_FALSE(sock.DataAvailable());
}

TEST_F(TKZSockIo, ReadLnReturnsALineArrivingInPiecesOnceWhole)
{
    int fd = peer;
    Peer script([fd] {
        loopback::SendAll(fd, "22");
        loopback::Sleep(60);
        loopback::SendAll(fd, "0 rea");
        loopback::Sleep(60);
        loopback::SendAll(fd, "dy\r\nnext");
    });
    std::string line;
    sock.ReadLn(line);
    EXPECT_EQ(line, "220 ready\r\n");
    script.Join();
    std::string rest;
    sock.Read(0, rest);
    EXPECT_EQ(rest, "next");
}

TEST_F(TKZSockIo, ReadLnGivesAnEmptyLineWhenThePeerClosesMidLine)
{
    loopback::SendAll(peer, "no line end");
    ::close(peer);
    peer = -1;
    std::string line = "x";
    sock.ReadLn(line);
    EXPECT_EQ(line, "");
}

TEST_F(TKZSockIo, OverLongLineIsRefusedWithNothingTaken)
{
    std::string big = RandomBytes(70000, 1);
    for (char& c : big)
        if (c == '\n')
            c = 'n';
    int fd = peer;
    Peer script([fd, &big] { loopback::SendAll(fd, big); });
    // Let all of it arrive before reading.
    ASSERT_TRUE(PumpUntil([&] { return Pending(sock) >= 70000; }));
    script.Join();
    std::string line;
    EXPECT_NE(ThrownMessage<ESockError>([&] { sock.ReadLn(line); }), "");
    std::string first;
    sock.Read(60000, first);
    EXPECT_EQ(first, big.substr(0, 60000));
    std::string rest;
    sock.Read(10000, rest);
    EXPECT_EQ(rest, big.substr(60000));
}

TEST_F(TKZSockIo, WriteAndWriteln)
{
    sock.Writeln("QUIT");
    EXPECT_EQ(loopback::RecvCount(peer, 6), "QUIT\r\n");
    // Sent up to the first NUL byte.
    sock.Write(std::string("ab\0cd", 5));
    sock.Writeln("");
    EXPECT_EQ(loopback::RecvCount(peer, 4), "ab\r\n");
    // 65,536 bytes or more are refused and nothing is sent.
    EXPECT_NE(ThrownMessage<ESockError>([&] { sock.Write(std::string(65536, 'a')); }), "");
    sock.Write(std::string(65535, 'b'));
    EXPECT_EQ(loopback::RecvCount(peer, 65535), std::string(65535, 'b'));
}

TEST_F(TKZSockIo, TransactionReplyNumbers)
{
    int fd = peer;
    Peer script([fd] {
        loopback::RecvCount(fd, 11);
        loopback::SendAll(fd, "331 Password required\r\n");
        loopback::RecvCount(fd, 6);
        loopback::SendAll(fd, "hello\r\n");
        loopback::RecvCount(fd, 6);
        loopback::SendAll(fd, "123456789012 big\r\n");
        loopback::RecvCount(fd, 6);
        loopback::SendAll(fd, "40000 wide\r\n");
    });
    sock.ReportLevel = 1;
    std::vector<std::string> seen;
    sock.OnStatus = [&](QObject*, const std::string& s) { seen.push_back(s); };
    std::string reply;
    sock.Transaction("USER anne", reply);
    EXPECT_EQ(reply, "331 Password required\r\n");
    EXPECT_EQ(sock.TransactionReply(), reply);
    EXPECT_EQ(sock.ReplyNumber(), 331);
    sock.Transaction("NOOP", reply);
    EXPECT_EQ(sock.ReplyNumber(), 0);
    sock.Transaction("NOOP", reply);
    EXPECT_EQ(sock.ReplyNumber(), 1234567890); // at most ten digits
    sock.Transaction("NOOP", reply);
    EXPECT_EQ(sock.ReplyNumber(), 40000);      // above 16 bits, not wrapped
    script.Join();
    ::close(peer);
    peer = -1;
    seen.clear();
    sock.Transaction("NOOP", reply);
    EXPECT_EQ(reply, "");
    EXPECT_EQ(sock.ReplyNumber(), 0);
    EXPECT_TRUE(seen.empty());
}

TEST_F(TKZSockIo, ReadCounts)
{
    std::string text = "x";
    sock.Read(0, text);
    EXPECT_EQ(text, "");
    loopback::SendAll(peer, "0123456789");
    ASSERT_TRUE(PumpUntil([&] { return sock.DataAvailable(); }));
    loopback::Sleep(20);
    sock.Read(0, text);
    EXPECT_EQ(text, "0123456789");

    // Read(5) with 3 bytes waits for 2 more.
    int fd = peer;
    loopback::SendAll(peer, "abc");
    Peer script([fd] {
        loopback::Sleep(100);
        loopback::SendAll(fd, "de");
    });
    sock.Read(5, text);
    EXPECT_EQ(text, "abcde");
    script.Join();
    EXPECT_NE(ThrownMessage<ESockError>([&] { sock.Read(65536, text); }), "");
}

TEST_F(TKZSockIo, ReadWaitsPastACloseUntilCancelled)
{
    loopback::SendAll(peer, "abc");
    ::close(peer);
    peer = -1;
    QTimer::singleShot(300, [&] { sock.Cancel(); });
    std::string text;
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.Read(5, text); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled());
    sock.Read(3, text);
    EXPECT_EQ(text, "abc");
    // With the data taken, the close is noticed again and closes the socket.
    int disconnects = 0;
    sock.OnDisconnect = [&](QObject*) { ++disconnects; };
    EXPECT_TRUE(PumpUntil([&] { return disconnects == 1; }, 3000));
}

TEST_F(TKZSockIo, ReadZeroRefusesAFullBufferAndKeepsTheBytes)
{
    std::string big = RandomBytes(200000, 2);
    int fd = peer;
    Peer script([fd, &big] { loopback::SendAll(fd, big); });
    ASSERT_TRUE(PumpUntil([&] { return Pending(sock) >= 65536; }));
    std::string text;
    EXPECT_NE(ThrownMessage<ESockError>([&] { sock.Read(0, text); }), "");
    sock.Read(1000, text);
    EXPECT_EQ(text, big.substr(0, 1000));
    sock.ClearInput();
    script.Join();
}

TEST_F(TKZSockIo, CancelBeforeAnOperationFailsItAtOnce)
{
    sock.Cancel();
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.Writeln("NOOP"); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled());
    sock.Writeln("NOOP");
    EXPECT_EQ(loopback::RecvCount(peer, 6), "NOOP\r\n");
    sock.Cancel();
    std::string line;
    loopback::SendAll(peer, "x\r\n");
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.ReadLn(line); }), "Socket readln aborted");
    EXPECT_FALSE(sock.Canceled());
}

TEST_F(TKZSockIo, ReadLnTimeOutAbortsAndLeavesTimedOut)
{
    sock.TimeOut = 200;
    std::string line;
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.ReadLn(line); }), "Socket readln aborted");
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
}

TEST_F(TKZSockIo, SendFileAndCaptureFileMoveLargeFilesExactly)
{
    std::string content = RandomBytes(6 * 1024 * 1024 + 123, 3);
    std::string source = Path("source.bin");
    WriteFile(source, content);

    // Upload: the peer takes everything until the component closes.
    std::string received;
    int fd = peer;
    {
        Peer script([fd, &received, size = content.size()] { received = loopback::RecvCount(fd, size); });
        int packets = 0;
        sock.OnPacketSent = [&](QObject* sender) {
            EXPECT_EQ(sender, &sock);
            ++packets;
        };
        sock.SendFile(source);
        EXPECT_GT(packets, 0);
    }
    EXPECT_EQ(received.size(), content.size());
    EXPECT_TRUE(received == content);
    EXPECT_EQ(sock.BytesSent(), static_cast<int64_t>(content.size()));

    // An empty file sends nothing and ends normally; BytesSent keeps its total.
    std::string empty = Path("empty.bin");
    WriteFile(empty, "");
    sock.SendFile(empty);
    EXPECT_EQ(sock.BytesSent(), static_cast<int64_t>(content.size()));

    // Download into a file that already exists (it is truncated).
    std::string target = Path("target.bin");
    WriteFile(target, std::string(10 * 1024 * 1024, 'z'));
    {
        Peer script([fd, &content] {
            loopback::SendAll(fd, content);
            ::close(fd);
        });
        peer = -1;
        int packets = 0;
        // Every chunk counted is in the file already, whichever way it moved.
        sock.OnPacketRecvd = [&](QObject*) {
            ++packets;
            struct stat st {};
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(static_cast<int64_t>(st.st_size), sock.BytesRecvd());
        };
        sock.CaptureFile(target);
        EXPECT_GT(packets, 0);
    }
    sock.OnPacketRecvd = nullptr;
    EXPECT_EQ(sock.BytesRecvd(), static_cast<int64_t>(content.size()));
    EXPECT_TRUE(ReadFile(target) == content);

    // A missing file fails before anything is sent.
    EXPECT_NE(ThrownMessage<Exception>([&] { sock.SendFile(Path("missing.bin")); }), "");
}

TEST_F(TKZSockIo, CaptureIntoAPipeMovesEveryByte)
{
    // A target that is not a regular file (here a named pipe) takes the
    // plain receive-and-write path.
    const std::string content = RandomBytes(3 * 1024 * 1024 + 7, 9);
    const std::string fifo = Path("capture.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string drained;
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);
        if (fd < 0)
            return;
        char chunk[65536];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
            drained.append(chunk, static_cast<std::size_t>(n));
        ::close(fd);
    });
    int fd = peer;
    {
        Peer script([fd, &content] {
            loopback::SendAll(fd, content);
            ::close(fd);
        });
        peer = -1;
        sock.CaptureFile(fifo);
    }
    reader.join();
    EXPECT_EQ(sock.BytesRecvd(), static_cast<int64_t>(content.size()));
    EXPECT_TRUE(drained == content);
}

TEST_F(TKZSockIo, BytesRecvdRestartsAndCancelKeepsWhatArrived)
{
    std::string target = Path("partial.bin");
    std::string part = RandomBytes(100000, 4);
    loopback::SendAll(peer, part);
    // The peer stays open and silent: cancel once everything has arrived.
    sock.OnPacketRecvd = [&](QObject*) {
        if (sock.BytesRecvd() >= static_cast<int64_t>(part.size()))
            QTimer::singleShot(50, [&] { sock.Cancel(); });
    };
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.CaptureFile(target); }), "Socket receive aborted");
    EXPECT_FALSE(sock.Canceled());
    EXPECT_EQ(sock.BytesRecvd(), static_cast<int64_t>(part.size()));
    EXPECT_TRUE(ReadFile(target) == part);

    // The next capture starts its count again.
    sock.OnPacketRecvd = nullptr;
    loopback::SendAll(peer, "tail");
    ::close(peer);
    peer = -1;
    sock.CaptureFile(target);
    EXPECT_EQ(sock.BytesRecvd(), 4);
    EXPECT_EQ(ReadFile(target), "tail");
}

TEST_F(TKZSockIo, CaptureTimeOutMeasuresSilence)
{
    std::string target = Path("slow.bin");
    sock.TimeOut = 400;
    int fd = peer;
    // Chunks every 150 ms for over a second keep the capture alive.
    {
        Peer script([fd] {
            for (int i = 0; i < 8; ++i) {
                loopback::SendAll(fd, "chunk");
                loopback::Sleep(150);
            }
            ::close(fd);
        });
        peer = -1;
        QElapsedTimer t;
        t.start();
        sock.CaptureFile(target);
        EXPECT_GT(t.elapsed(), 1000);
        EXPECT_FALSE(sock.TimedOut());
    }
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += "chunk";
    EXPECT_EQ(ReadFile(target), expected);

    // A silence longer than the time-out ends it, keeping what arrived.
    sock.Disconnect();
    peer = ConnectPair(sock, listener);
    loopback::SendAll(peer, "early");
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.CaptureFile(target); }), "Socket receive aborted");
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_EQ(ReadFile(target), "early");
}

TEST_F(TKZSockIo, SendFileTimeOutWhenThePeerStopsReading)
{
    std::string source = Path("stuck.bin");
    // More than the loopback socket buffers hold while nobody reads.
    WriteFile(source, std::string(48 * 1024 * 1024, 'x'));
    sock.TimeOut = 300;
    EXPECT_EQ(ThrownMessage<EAbortError>([&] { sock.SendFile(source); }), "Socket send aborted");
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_GT(sock.BytesSent(), 0);
}

TEST(TKZSockListen, ListenOnASystemPortAndAccept)
{
    TKZSock data;
    Watchdog dog(data);
    data.Port = 0;
    data.TimeOut = 5000;
    data.Listen(true);
    std::string portText;
    data.LocalPortText(portText);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(data.SocketHandle(), reinterpret_cast<sockaddr*>(&bound), &len);
    unsigned port = ntohs(bound.sin_port);
    EXPECT_EQ(portText, "," + std::to_string(port / 256) + "," + std::to_string(port % 256));

    int client = -1;
    sockaddr_in clientAddress{};
    Peer script([&] {
        loopback::Sleep(100);
        client = loopback::ConnectTo(static_cast<uint16_t>(port));
        socklen_t l = sizeof clientAddress;
        ::getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &l);
        loopback::SendAll(client, "150 data\r\n");
    });
    int accepted = data.Accept();
    script.Join();
    ASSERT_GE(accepted, 0);
    EXPECT_TRUE(data.Connected());
    EXPECT_EQ(data.RemoteAddress().IPv4(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(data.RemoteAddress().Port(), ntohs(clientAddress.sin_port));

    // The accepted socket takes the listening one's place.
    data.AdoptAcceptedSocket(accepted);
    EXPECT_EQ(data.SocketHandle(), accepted);
    std::string line;
    data.ReadLn(line);
    EXPECT_EQ(line, "150 data\r\n");
    ::close(client);
    std::string target = QDir(WISPLOG_BINARY_DIR).filePath("sock-accept-capture.bin").toStdString();
    data.CaptureFile(target);
    EXPECT_EQ(data.BytesRecvd(), 0);
    ::unlink(target.c_str());
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockListen, AcceptEndsOnCancelTimeOutAndListenFailures)
{
    TKZSock data;
    Watchdog dog(data);
    data.Port = 0;
    data.Listen(true);
    QTimer::singleShot(100, [&] { data.Cancel(); });
    EXPECT_EQ(ThrownMessage<ESockError>([&] { data.Accept(); }), "Accepting Canceled");
    // Left set: the next accept wait ends at once.
    EXPECT_TRUE(data.Canceled());
    EXPECT_EQ(ThrownMessage<ESockError>([&] { data.Accept(); }), "Accepting Canceled");

    TKZSock quiet;
    quiet.Port = 0;
    quiet.Listen(true);
    quiet.TimeOut = 200;
    EXPECT_EQ(ThrownMessage<ESockError>([&] { quiet.Accept(); }), "Accepting Timed Out");
    EXPECT_TRUE(quiet.TimedOut());

    // Binding a port in use is reported with its error text.
    Listener taken;
    TKZSock other;
    int errors = 0;
    other.OnError = [&](QObject*, uint16_t, const std::string&) { ++errors; };
    other.Port = taken.Port();
    std::string message = ThrownMessage<ESockError>([&] {
        // The listener is bound to 127.0.0.1; 0.0.0.0 on that port clashes.
        other.Listen(true);
    });
    EXPECT_EQ(message, "10048:Address already in use");
    EXPECT_EQ(errors, 1);
    other.Port = 70000;
    EXPECT_NE(ThrownMessage<ESockError>([&] { other.Listen(true); }), "");
    EXPECT_FALSE(dog.Fired());
}

TEST(TKZSockListen, ListenWithoutDoneMessageFiresOnAccept)
{
    TKZSock data;
    Watchdog dog(data);
    data.Port = 0;
    data.Listen(false);
    int accepts = 0;
    data.OnAccept = [&](QObject*) { ++accepts; };
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(data.SocketHandle(), reinterpret_cast<sockaddr*>(&bound), &len);
    int client = loopback::ConnectTo(ntohs(bound.sin_port));
    EXPECT_TRUE(PumpUntil([&] { return accepts == 1; }, 3000));
    Pump(100);
    EXPECT_EQ(accepts, 1); // not repeated before an accept
    EXPECT_TRUE(data.Connected());
    ::close(client);
    EXPECT_FALSE(dog.Fired());
}

} // namespace
