// follow_growing: Follow on a log that is written to all the time. A writer
// thread appends a log line of about BYTES bytes to the served file every
// EVERY_MS milliseconds; meanwhile the log is followed as F6 does it (a
// first whole fetch, then a refresh on the kept session at once and every
// INTERVAL_MS) for SECONDS. Then the writer stops, one last refresh runs and
// the copy is compared with the file on disk; a whole fetch of the final
// file on a session of its own is timed beside it.
//
//   follow_growing HOST PORT USER PASSWORD REMOTE SERVED_PATH LOCAL
//                  [SECONDS [INTERVAL_MS [EVERY_MS [BYTES]]]]
//
// Prints the refresh count, their kinds, the bytes they moved against the
// growth, the bound (growth + 16 KiB a refresh) and the whole fetch's time
// and bytes. Exits 1 when a refresh was a whole fetch, the bound was
// exceeded or the copy differs from the file.
#include "ftp/IncrementalFetch.h"
#include "ftp/TKZFTP.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Session {
    TKZFTP Ftp;
    explicit Session(char** argv)
    {
        Ftp.Host = argv[1];
        Ftp.Port = std::stoi(argv[2]);
        Ftp.UserID = argv[3];
        Ftp.Password = argv[4];
        Ftp.Passive = true;
        Ftp.TimeOut = 30000;
        Ftp.Connect();
        Ftp.SetTransferType(2);
    }
    ~Session()
    {
        try {
            Ftp.Disconnect();
        } catch (...) {
        }
    }
};

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long long SizeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Appends one line of about bytes bytes every everyMs until stopped; each
// line is one write with O_APPEND, as a logging program writes.
void Write(const std::string& path, int everyMs, int bytes, const std::atomic<bool>& stop)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open served file");
        return;
    }
    long long n = 0;
    auto next = Clock::now();
    while (!stop) {
        char head[96];
        const int used = std::snprintf(head, sizeof head, "2026-12-07 12:00:00.000 INFO  writer line %010lld ", n++);
        std::string line(head, size_t(used));
        line.append(size_t(std::max(1, bytes - used - 1)), 'x');
        line += '\n';
        if (::write(fd, line.data(), line.size()) != ssize_t(line.size()))
            std::perror("append");
        next += std::chrono::milliseconds(everyMs);
        std::this_thread::sleep_until(next);
    }
    ::close(fd);
}

const char* KindName(RefreshKind kind)
{
    switch (kind) {
    case RefreshKind::Unchanged: return "unchanged";
    case RefreshKind::Appended: return "appended";
    case RefreshKind::Whole: return "WHOLE";
    }
    return "?";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 8) {
        std::fprintf(stderr,
                     "usage: %s HOST PORT USER PASSWORD REMOTE SERVED_PATH LOCAL [SECONDS [INTERVAL_MS "
                     "[EVERY_MS [BYTES]]]]\n",
                     argv[0]);
        return 2;
    }
    const std::string remote = argv[5], served = argv[6], local = argv[7], whole = local + ".whole";
    const int seconds = argc > 8 ? std::stoi(argv[8]) : 60;
    const int intervalMs = argc > 9 ? std::stoi(argv[9]) : 10000;
    const int everyMs = argc > 10 ? std::stoi(argv[10]) : 50;
    const int bytes = argc > 11 ? std::stoi(argv[11]) : 500;

    std::atomic<bool> stop{false};
    std::thread writer(Write, served, everyMs, bytes, std::cref(stop));
    int refreshes = 0, appended = 0, unchanged = 0, wholeRefreshes = 0;
    long long moved = 0, startSize = 0, endSize = 0, wholeBytes = 0;
    double firstFetchSeconds = 0, wholeSeconds = 0, longestRefresh = 0;
    int status = 0;
    try {
        Session kept(argv);
        // F5 first: the copy as it is now, while the writer goes on.
        auto start = Clock::now();
        kept.Ftp.RetrieveFile(remote, local);
        firstFetchSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        startSize = SizeOf(local);

        FollowCopyState state;
        auto refresh = [&] {
            const auto begun = Clock::now();
            const RefreshResult r = RefreshLocalCopy(kept.Ftp, remote, local, state);
            const double took = std::chrono::duration<double>(Clock::now() - begun).count();
            longestRefresh = std::max(longestRefresh, took);
            ++refreshes;
            moved += r.BytesReceived;
            (r.Kind == RefreshKind::Whole ? wholeRefreshes : r.Kind == RefreshKind::Appended ? appended : unchanged)++;
            std::printf("refresh %2d  %-9s  +%6lld B  moved %6lld B  %.1f ms\n", refreshes, KindName(r.Kind),
                        static_cast<long long>(r.NewSize - r.OldSize), static_cast<long long>(r.BytesReceived),
                        took * 1000);
        };
        // F6: a refresh at once, then one every interval until the end.
        const auto followStart = Clock::now();
        const auto end = followStart + std::chrono::seconds(seconds);
        for (auto next = followStart; next <= end; next += std::chrono::milliseconds(intervalMs)) {
            std::this_thread::sleep_until(next);
            refresh();
        }
        stop = true;
        writer.join();
        // The writer has stopped: one more refresh makes the copy whole.
        refresh();
        endSize = SizeOf(served);

        start = Clock::now();
        {
            Session session(argv);
            session.Ftp.RetrieveFile(remote, whole);
            wholeBytes = session.Ftp.TransferSize();
        }
        wholeSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (Slurp(local) != Slurp(served)) {
            std::fprintf(stderr, "the followed copy differs from the file\n");
            status = 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "follow_growing: %s\n", e.what());
        status = 1;
    }
    if (!stop) {
        stop = true;
        writer.join();
    }
    if (status != 0)
        return status;

    const long long growth = endSize - startSize;
    const long long bound = growth + 16384LL * refreshes;
    std::printf("\nfollowed %d s, a %d-byte line every %d ms, a refresh every %d ms\n", seconds, bytes, everyMs,
                intervalMs);
    std::printf("refreshes: %d (%d appended, %d unchanged, %d whole fetches)\n", refreshes, appended, unchanged,
                wholeRefreshes);
    std::printf("growth after the first fetch: %lld bytes\n", growth);
    std::printf("bytes moved by all refreshes: %lld (%lld over the growth, %.0f a refresh)\n", moved,
                moved - growth, double(moved - growth) / refreshes);
    std::printf("bound (growth + 16 KiB a refresh): %lld  -> %s\n", bound, moved <= bound ? "met" : "EXCEEDED");
    std::printf("longest refresh: %.1f ms\n", longestRefresh * 1000);
    std::printf("first fetch (while written to): %.3f s, %lld bytes\n", firstFetchSeconds, startSize);
    std::printf("whole fetch of the final file (with log-in): %.3f s, %lld bytes\n", wholeSeconds, wholeBytes);
    return wholeRefreshes == 0 && moved <= bound ? 0 : 1;
}
