// follow_refresh: a Follow refresh of a grown log against a whole fetch of
// it, over the same server in the same run. A refresh runs on a session
// kept open, as Follow keeps it between refreshes; a "cold" refresh and the
// whole fetch each run a whole session (connect and log in, TYPE I,
// transfer, QUIT), as the first refresh and F5 do.
//
//   follow_refresh HOST PORT USER PASSWORD REMOTE LOCAL OLD_SIZE [RUNS]
//
// LOCAL must hold the remote file's first OLD_SIZE bytes; before every
// refresh it is cut back to them. Every timed run starts after sync(), so no
// run pays for the writes of the one before. Prints the median time and the data bytes
// of each and their ratios; exits 1 when a copy differs from the remote file
// as fetched whole.
#include "ftp/IncrementalFetch.h"
#include "ftp/TKZFTP.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct Session {
    TKZFTP Ftp;
    Session(char** argv)
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

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 8) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD REMOTE LOCAL OLD_SIZE [RUNS]\n", argv[0]);
        return 2;
    }
    const std::string remote = argv[5], local = argv[6], whole = local + ".whole";
    const long long oldSize = std::stoll(argv[7]);
    const int runs = argc > 8 ? std::stoi(argv[8]) : 5;
    using Clock = std::chrono::steady_clock;
    std::vector<double> refreshSeconds, coldSeconds, wholeSeconds;
    long long refreshBytes = 0, wholeBytes = 0;
    try {
        Session kept(argv);
        for (int run = 0; run < runs; ++run) {
            for (bool cold : {false, true}) {
                if (::truncate(local.c_str(), oldSize) != 0) {
                    std::perror("truncate");
                    return 1;
                }
                FollowCopyState state;
                // Each timed run starts with no earlier run's writes pending.
                ::sync();
                const auto start = Clock::now();
                RefreshResult result;
                if (cold) {
                    Session session(argv);
                    result = RefreshLocalCopy(session.Ftp, remote, local, state);
                } else {
                    result = RefreshLocalCopy(kept.Ftp, remote, local, state);
                }
                (cold ? coldSeconds : refreshSeconds)
                    .push_back(std::chrono::duration<double>(Clock::now() - start).count());
                refreshBytes = result.BytesReceived;
                if (result.Kind != RefreshKind::Appended) {
                    std::fprintf(stderr, "the refresh did not append\n");
                    return 1;
                }
            }

            ::sync();
            auto start = Clock::now();

            start = Clock::now();
            {
                Session session(argv);
                session.Ftp.RetrieveFile(remote, whole);
                wholeBytes = session.Ftp.TransferSize();
            }
            wholeSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        if (Slurp(local) != Slurp(whole)) {
            std::fprintf(stderr, "the refreshed copy differs from the whole fetch\n");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "follow_refresh: %s\n", e.what());
        return 1;
    }
    const double r = Median(refreshSeconds), c = Median(coldSeconds), w = Median(wholeSeconds);
    std::printf("%-24s %10s %12s\n", "", "median s", "data bytes");
    std::printf("%-24s %10.4f %12lld\n", "refresh (session kept)", r, refreshBytes);
    std::printf("%-24s %10.4f %12lld\n", "refresh (with log-in)", c, refreshBytes);
    std::printf("%-24s %10.4f %12lld\n", "whole fetch (log-in)", w, wholeBytes);
    auto list = [](const char* name, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        std::printf("%s runs (ms):", name);
        for (double x : v)
            std::printf(" %.1f", x * 1000);
        std::printf("\n");
    };
    list("refresh (session kept)", refreshSeconds);
    list("refresh (with log-in)", coldSeconds);
    list("whole fetch", wholeSeconds);
    std::printf("whole / refresh: %.1fx (with log-in %.1fx) in time, %.0fx in bytes\n", w / r, w / c,
                double(wholeBytes) / double(std::max(1LL, refreshBytes)));
    return 0;
}
