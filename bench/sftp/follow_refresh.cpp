// follow_refresh (SFTP): a Follow refresh of a grown log against a whole
// fetch of it, through the same source the window uses (SftpSource), over
// the same sshd in the same run. A refresh runs on a session kept open, as
// Follow keeps it between refreshes; a "cold" refresh and the whole fetch
// each run a whole session (connect, host key, log-in, transfer, close), as
// the first refresh and F5 do. HOME must hold the known_hosts and key the
// session uses.
//
//   sftp_follow_refresh PORT USER REMOTE LOCAL OLD_SIZE [RUNS]
//
// LOCAL must hold the remote file's first OLD_SIZE bytes; before every
// refresh it is cut back to them. Prints the median times and data bytes and
// their ratios; exits 1 when a copy differs from the remote file as fetched
// whole.
#include "fetch/SftpSource.h"

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
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s PORT USER REMOTE LOCAL OLD_SIZE [RUNS]\n", argv[0]);
        return 2;
    }
    HostProfile profile;
    profile.Protocol = RemoteProtocol::Sftp;
    profile.Host = "127.0.0.1";
    profile.Port = std::stoi(argv[1]);
    profile.PortGiven = true;
    profile.User = argv[2];
    const std::string remote = argv[3], local = argv[4], whole = local + ".whole";
    const long long oldSize = std::stoll(argv[5]);
    const int runs = argc > 6 ? std::stoi(argv[6]) : 5;
    using Clock = std::chrono::steady_clock;
    std::vector<double> refreshSeconds, coldSeconds, wholeSeconds;
    long long refreshBytes = 0, wholeBytes = 0;
    try {
        SftpSource kept;
        kept.Open(profile);
        for (int run = 0; run < runs; ++run) {
            for (bool cold : {false, true}) {
                if (::truncate(local.c_str(), oldSize) != 0) {
                    std::perror("truncate");
                    return 1;
                }
                FollowCopyState state;
                ::sync();
                const auto start = Clock::now();
                RefreshResult result;
                if (cold) {
                    SftpSource source;
                    source.Open(profile);
                    result = source.Refresh("", remote, local, state);
                    source.Close(false);
                } else {
                    result = kept.Refresh("", remote, local, state);
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
            const auto start = Clock::now();
            {
                SftpSource source;
                source.OnReceived = [&](int64_t bytes) { wholeBytes = bytes; };
                source.Open(profile);
                source.Download("", remote, whole);
                source.Close(false);
            }
            wholeSeconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        if (Slurp(local) != Slurp(whole)) {
            std::fprintf(stderr, "the refreshed copy differs from the whole fetch\n");
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sftp_follow_refresh: %s\n", e.what());
        return 1;
    }
    const double r = Median(refreshSeconds), c = Median(coldSeconds), w = Median(wholeSeconds);
    std::printf("%-24s %10s %12s\n", "", "median s", "data bytes");
    std::printf("%-24s %10.4f %12lld\n", "refresh (session kept)", r, refreshBytes);
    std::printf("%-24s %10.4f %12lld\n", "refresh (with log-in)", c, refreshBytes);
    std::printf("%-24s %10.4f %12lld\n", "whole fetch (log-in)", w, wholeBytes);
    std::printf("whole / refresh: %.1fx (with log-in %.1fx) in time, %.0fx in bytes\n", w / r, w / c,
                double(wholeBytes) / double(std::max(1LL, refreshBytes)));
    return 0;
}
