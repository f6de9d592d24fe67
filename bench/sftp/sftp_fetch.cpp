// sftp_fetch: downloads one file with SftpSession the way the application
// fetches a log: connect (the host key must already be known or pinned),
// log in with the agent or the key files, stat, download.
//
//   sftp_fetch HOST PORT USER REMOTE LOCAL [--pin=FINGERPRINT]
//
// Exits 0 on success; prints the failure text and exits 1 otherwise.
#include "sftp/SftpSession.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s HOST PORT USER REMOTE LOCAL [--pin=FINGERPRINT]\n", argv[0]);
        return 2;
    }
    try {
        SftpSession s;
        s.Host = argv[1];
        s.Port = std::atoi(argv[2]);
        s.UserID = argv[3];
        s.TimeOut = 30000;
        for (int i = 6; i < argc; ++i)
            if (std::strncmp(argv[i], "--pin=", 6) == 0)
                s.PinnedKey = argv[i] + 6;
        s.Connect();
        s.Login();
        const long long bytes = s.Download(argv[4], argv[5]);
        s.Disconnect();
        std::fprintf(stderr, "%lld bytes\n", bytes);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sftp_fetch: %s\n", e.what());
        return 1;
    }
}
