// A real FTP server for tests: pyftpdlib run by /usr/bin/python3 on
// 127.0.0.1 (or Options::Address, e.g. "::1") with a port the system chooses, serving a fresh temporary
// directory that is removed again when the fixture goes away.
//
//     PyFtpServer server;                     // user "user", password "secret"
//     server.WriteFile("log.txt", "hello\n");
//     ftp.Host = "127.0.0.1"; ftp.Port = server.Port();
//     ftp.UserID = server.User(); ftp.Password = server.Password();
//     ... fetch ...
//     EXPECT_EQ(server.ReadFile("uploaded.bin"), expected);
//
// The constructor waits at most StartLimit for the server to announce its
// port and throws std::runtime_error when it does not. The destructor stops
// the server (terminate, then kill) within a bounded time. Needs a running
// QCoreApplication (or QApplication).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QProcess;
class QTemporaryDir;

class PyFtpServer {
public:
    struct Options {
        std::string User = "user";      // empty: no named account
        std::string Password = "secret";
        bool Anonymous = false;         // also accept "anonymous" with any password
        std::vector<std::string> Refuse; // commands answered "502" (e.g. "SIZE", "REST")
        bool IgnoreRest = false;        // REST answered 350, files still sent from 0
        double IdleSeconds = 0;         // > 0: idle control connections are closed
        // PEM files of the server's certificate and key: when set, the
        // server speaks explicit TLS and refuses plain log-ins and transfers.
        std::string TlsCertificate;
        std::string TlsKey;
        std::string Address = "127.0.0.1"; // the address listened on
        // A file whose content, while it exists, is the user's password at
        // each log-in (a test changes the password of the running server).
        std::string PasswordFile;
    };
    static constexpr std::chrono::milliseconds StartLimit{15000};

    PyFtpServer();
    explicit PyFtpServer(const Options& options);
    ~PyFtpServer();
    PyFtpServer(const PyFtpServer&) = delete;
    PyFtpServer& operator=(const PyFtpServer&) = delete;

    uint16_t Port() const { return FPort; }
    const std::string& User() const { return FOptions.User; }
    const std::string& Password() const { return FOptions.Password; }
    // Absolute path of the served directory (the account's home, "/").
    std::string Root() const;
    // Full path of a file in the served directory.
    std::string PathOf(const std::string& name) const;
    // Writes (creating or replacing) a file of the served directory.
    void WriteFile(const std::string& name, const std::string& bytes) const;
    // Reads a whole file of the served directory; throws when it is missing.
    std::string ReadFile(const std::string& name) const;
    bool Exists(const std::string& name) const;

private:
    Options FOptions;
    std::unique_ptr<QTemporaryDir> FRoot;
    std::unique_ptr<QProcess> FProcess;
    uint16_t FPort = 0;
};
