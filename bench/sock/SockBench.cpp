// Benchmarks of the socket component, each reported as a ratio against a
// peer measured in the same run:
//  (a) CPU time of waits that sit idle for 3 s, as a share of wall time;
//  (b) CaptureFile of a loopback stream into a file against a plain
//      blocking recv/write loop of 64 KiB chunks: throughput and CPU s/GiB.
// Usage: sock_bench [stream size in MiB, default 1024]
#include "sock/TKZSock.h"
#include "tests/sock/Loopback.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using loopback::Listener;

namespace {

double CpuSeconds(int who)
{
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    double wall = 0;
    double cpu = 0;
};

// Runs wait() and measures the process's CPU time against the wall time.
template <class F>
Figures Measure(F&& wait, int who = RUSAGE_SELF)
{
    QElapsedTimer t;
    double cpu0 = CpuSeconds(who);
    t.start();
    wait();
    Figures f;
    f.wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
    f.cpu = CpuSeconds(who) - cpu0;
    return f;
}

void ReportIdle(const char* name, const Figures& f)
{
    std::printf("  %-38s wall %.2f s  cpu %.4f s  = %.3f%% of wall\n", name, f.wall, f.cpu,
                100.0 * f.cpu / f.wall);
}

void IdleWaits()
{
    std::printf("(a) idle waits, 3 s each (goal: cpu under 2%% of wall)\n");
    {
        // A listener with a full accept queue drops the SYN: connect pends.
        Listener hole(0);
        int filler = loopback::ConnectTo(hole.Port());
        TKZSock sock;
        sock.Host = "127.0.0.1";
        sock.Port = hole.Port();
        sock.TimeOut = 3000;
        Figures f = Measure([&] {
            try {
                sock.Connect();
            } catch (const ESockError&) {
            }
        });
        ReportIdle("connection wait (time-out)", f);
        ::close(filler);
    }
    {
        Listener listener;
        TKZSock sock;
        sock.Host = "127.0.0.1";
        sock.Port = listener.Port();
        sock.Connect();
        int peer = listener.Accept();
        std::string line;
        sock.TimeOut = 3000;
        ReportIdle("ReadLn wait, nothing arriving", Measure([&] {
                       try {
                           sock.ReadLn(line);
                       } catch (const ESockError&) {
                       }
                   }));
        loopback::SendAll(peer, "half a line");
        ReportIdle("ReadLn wait, half a line pending", Measure([&] {
                       try {
                           sock.ReadLn(line);
                       } catch (const ESockError&) {
                       }
                   }));
        sock.TimeOut = 0;
        QTimer::singleShot(3000, [&] { sock.Cancel(); });
        ReportIdle("Read(100) wait, 11 bytes pending", Measure([&] {
                       try {
                           sock.Read(100, line);
                       } catch (const ESockError&) {
                       }
                   }));
        ::close(peer);
        QTimer::singleShot(3000, [&] { sock.Cancel(); });
        ReportIdle("Read(100) wait, peer closed", Measure([&] {
                       try {
                           sock.Read(100, line);
                       } catch (const ESockError&) {
                       }
                   }));
    }
    {
        TKZSock sock;
        sock.Port = 0;
        sock.Listen(true);
        sock.TimeOut = 3000;
        ReportIdle("accept wait (time-out)", Measure([&] {
                       try {
                           sock.Accept();
                       } catch (const ESockError&) {
                       }
                   }));
    }
}

// A peer thread that accepts one connection and sends total bytes.
struct Sender {
    Listener listener;
    std::vector<char> block = std::vector<char>(1 << 20, 'w');
    loopback::Peer thread;
    explicit Sender(int64_t total)
        : thread([this, total] {
              int c = listener.Accept();
              if (c < 0)
                  return;
              for (int64_t sent = 0; sent < total;) {
                  size_t n = static_cast<size_t>(std::min<int64_t>(total - sent, static_cast<int64_t>(block.size())));
                  if (!loopback::SendAll(c, std::string_view(block.data(), n)))
                      break;
                  sent += static_cast<int64_t>(n);
              }
              ::close(c);
          })
    {
    }
};

int64_t FileSize(const std::string& name)
{
    struct stat s {};
    return ::stat(name.c_str(), &s) == 0 ? s.st_size : -1;
}

Figures PlainLoop(int64_t total, const std::string& file)
{
    Sender sender(total);
    int fd = loopback::ConnectTo(sender.listener.Port());
    int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::vector<char> buf(65536);
    Figures f = Measure(
        [&] {
            for (;;) {
                ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                for (ssize_t w = 0; w < n;) {
                    ssize_t k = ::write(out, buf.data() + w, static_cast<size_t>(n - w));
                    if (k <= 0)
                        std::abort();
                    w += k;
                }
            }
        },
        RUSAGE_THREAD);
    ::close(out);
    ::close(fd);
    if (FileSize(file) != total)
        std::fprintf(stderr, "plain loop: wrong size %lld\n", static_cast<long long>(FileSize(file)));
    ::unlink(file.c_str());
    return f;
}

Figures Capture(int64_t total, const std::string& file)
{
    Sender sender(total);
    TKZSock sock;
    sock.Host = "127.0.0.1";
    sock.Port = sender.listener.Port();
    sock.TimeOut = 10000;
    sock.Connect();
    Figures f = Measure([&] { sock.CaptureFile(file); }, RUSAGE_THREAD);
    if (sock.BytesRecvd() != total || FileSize(file) != total)
        std::fprintf(stderr, "CaptureFile: wrong size %lld\n", static_cast<long long>(sock.BytesRecvd()));
    ::unlink(file.c_str());
    return f;
}

void CaptureThroughput(int64_t mib)
{
    const int64_t total = mib << 20;
    const double gib = static_cast<double>(total) / (1 << 30);
    std::string dir = QDir(WISPLOG_BINARY_DIR).filePath("tmp").toStdString();
    QDir().mkpath(QString::fromStdString(dir));
    std::string file = dir + "/sock_bench_capture.bin";
    std::printf("(b) %lld MiB loopback stream into a file (goals: throughput ratio >= 0.9, cpu ratio <= 1.2)\n",
                static_cast<long long>(mib));
    std::vector<double> throughputRatios, cpuRatios;
    for (int round = 1; round <= 3; ++round) {
        Figures plain = PlainLoop(total, file);
        Figures capture = Capture(total, file);
        double plainRate = gib / plain.wall, captureRate = gib / capture.wall;
        double plainCpu = plain.cpu / gib, captureCpu = capture.cpu / gib;
        std::printf("  round %d: plain %.2f GiB/s %.3f cpu-s/GiB | CaptureFile %.2f GiB/s %.3f cpu-s/GiB"
                    " | throughput ratio %.3f, cpu ratio %.3f\n",
                    round, plainRate, plainCpu, captureRate, captureCpu, captureRate / plainRate,
                    captureCpu / plainCpu);
        throughputRatios.push_back(captureRate / plainRate);
        cpuRatios.push_back(captureCpu / plainCpu);
    }
    std::sort(throughputRatios.begin(), throughputRatios.end());
    std::sort(cpuRatios.begin(), cpuRatios.end());
    std::printf("  median: throughput ratio %.3f, cpu ratio %.3f\n", throughputRatios[1], cpuRatios[1]);
    QDir(QString::fromStdString(dir)).rmdir(".");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
    IdleWaits();
    CaptureThroughput(mib);
    return 0;
}
