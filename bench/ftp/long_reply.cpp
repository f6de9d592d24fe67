// long_reply: connects and logs in with TKZFTP, then logs out, and prints
// the seconds that Connect took (greeting and log-in): with a server that
// greets with a long multi-line reply, the time to read that reply.
//
//   long_reply HOST PORT USER PASSWORD
//
// Exits 0 on success; prints the failure text and exits 1 otherwise.
#include "ftp/TKZFTP.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD\n", argv[0]);
        return 2;
    }
    try {
        TKZFTP ftp;
        ftp.Host = argv[1];
        ftp.Port = std::stoi(argv[2]);
        ftp.UserID = argv[3];
        ftp.Password = argv[4];
        ftp.TimeOut = 30000;
        QElapsedTimer clock;
        clock.start();
        ftp.Connect();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        ftp.Disconnect();
        std::printf("%.6f\n", seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
