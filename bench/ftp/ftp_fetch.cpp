// ftp_fetch: downloads (or uploads) one file with TKZFTP, the way the
// application fetches a log: connect and log in, TYPE I, RETR, QUIT.
//
//   ftp_fetch HOST PORT USER PASSWORD REMOTE LOCAL [--active] [--put] [--tls=SECURITY]
//
// SECURITY is a profile's field 7: "tls" or a certificate's SHA-256
// fingerprint (64 hexadecimal digits).
//
// Exits 0 on success; prints the failure text and exits 1 otherwise.
#include "ftp/TKZFTP.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD REMOTE LOCAL [--active] [--put] [--tls=SECURITY]\n", argv[0]);
        return 2;
    }
    bool active = false, put = false;
    TTlsSecurity security;
    for (int i = 7; i < argc; ++i) {
        active = active || std::strcmp(argv[i], "--active") == 0;
        put = put || std::strcmp(argv[i], "--put") == 0;
        if (std::strncmp(argv[i], "--tls=", 6) == 0 && !TTlsSecurity::Parse(argv[i] + 6, security)) {
            std::fprintf(stderr, "ftp_fetch: bad security %s\n", argv[i] + 6);
            return 2;
        }
    }
    try {
        TKZFTP ftp;
        ftp.Host = argv[1];
        ftp.Port = std::stoi(argv[2]);
        ftp.UserID = argv[3];
        ftp.Password = argv[4];
        ftp.Passive = !active;
        ftp.Security = security;
        ftp.TimeOut = 30000;
        ftp.Connect();
        ftp.SetTransferType(2);
        if (put)
            ftp.StoreFile(argv[6], argv[5]);
        else
            ftp.RetrieveFile(argv[5], argv[6]);
        const long long bytes = ftp.TransferSize();
        ftp.Disconnect();
        std::fprintf(stderr, "%lld bytes\n", bytes);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_fetch: %s\n", e.what());
        return 1;
    }
}
