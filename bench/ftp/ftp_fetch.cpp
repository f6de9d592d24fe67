// ftp_fetch: downloads (or uploads) one file with TKZFTP, the way the
// application fetches a log: connect and log in, TYPE I, RETR, QUIT.
//
//   ftp_fetch HOST PORT USER PASSWORD REMOTE LOCAL [--active] [--put] [--tls=SECURITY] [--progress]
//
// SECURITY is a profile's field 7: "tls" or a certificate's SHA-256
// fingerprint (64 hexadecimal digits). --progress follows the download with
// the window's progress texts (the same FetchProgress, fed by the same
// events), kept in memory instead of the status line.
//
// Exits 0 on success; prints the failure text and exits 1 otherwise.
#include "fetch/FetchProgress.h"
#include "ftp/TKZFTP.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD REMOTE LOCAL [--active] [--put] [--tls=SECURITY] [--progress]\n", argv[0]);
        return 2;
    }
    bool active = false, put = false, progress = false;
    TTlsSecurity security;
    for (int i = 7; i < argc; ++i) {
        active = active || std::strcmp(argv[i], "--active") == 0;
        put = put || std::strcmp(argv[i], "--put") == 0;
        progress = progress || std::strcmp(argv[i], "--progress") == 0;
        if (std::strncmp(argv[i], "--tls=", 6) == 0 && !TTlsSecurity::Parse(argv[i] + 6, security)) {
            std::fprintf(stderr, "ftp_fetch: bad security %s\n", argv[i] + 6);
            return 2;
        }
    }
    std::string lastText;
    long texts = 0;
    FetchProgress shown([&](const std::string& text) {
        lastText = text;
        ++texts;
    });
    try {
        TKZFTP ftp;
        ftp.Host = argv[1];
        ftp.Port = std::stoi(argv[2]);
        ftp.UserID = argv[3];
        ftp.Password = argv[4];
        ftp.Passive = !active;
        ftp.Security = security;
        ftp.TimeOut = 30000;
        if (progress) {
            ftp.OnTransactionStart = [&](QObject*) { shown.TransferStarted(ftp.TransferSize()); };
            ftp.OnPacketRecvd = [&](QObject* sender) {
                shown.Received(static_cast<TKZSock*>(sender)->BytesRecvd());
            };
        }
        ftp.Connect();
        ftp.SetTransferType(2);
        if (put)
            ftp.StoreFile(argv[6], argv[5]);
        else
            ftp.RetrieveFile(argv[5], argv[6]);
        const long long bytes = ftp.TransferSize();
        ftp.Disconnect();
        std::fprintf(stderr, "%lld bytes\n", bytes);
        if (progress)
            std::fprintf(stderr, "%ld progress texts, the last: %s\n", texts, lastText.c_str());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ftp_fetch: %s\n", e.what());
        return 1;
    }
}
