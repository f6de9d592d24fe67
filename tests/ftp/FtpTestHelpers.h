// Helpers shared by the FTP component's tests: an event log that records
// every event of a TKZFTP in order, and small file utilities.
#pragma once

#include "ftp/TKZFTP.h"

#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Attaches a handler to every event and records one entry per firing:
// "OnConnect", "OnConnectionFailed", "OnSuccess 9", "OnFailure 9",
// "OnUnSupportedFunction 14", "OnTransactionStart", "OnTransactionStop",
// "OnAuthenticationNeeded", "OnPacketRecvd", "OnPacketSent", and every
// level-1 status text as "status: <text>". ReportLevel is set to 1.
class EventLog {
public:
    explicit EventLog(TKZFTP& ftp, bool packets = false) : FFtp(ftp)
    {
        ftp.ReportLevel = 1;
        ftp.OnStatus = [this](QObject*, const std::string& text) { Entries.push_back("status: " + text); };
        ftp.OnConnect = [this](QObject* sender) { Add("OnConnect", sender); };
        ftp.OnConnectionFailed = [this](QObject* sender) { Add("OnConnectionFailed", sender); };
        ftp.OnTransactionStart = [this](QObject* sender) { Add("OnTransactionStart", sender); };
        ftp.OnTransactionStop = [this](QObject* sender) { Add("OnTransactionStop", sender); };
        ftp.OnSuccess = [this](TCmdType t) { Entries.push_back("OnSuccess " + std::to_string(int(t))); };
        ftp.OnUnSupportedFunction = [this](TCmdType t) {
            Entries.push_back("OnUnSupportedFunction " + std::to_string(int(t)));
        };
        if (packets) {
            ftp.OnPacketRecvd = [this](QObject* sender) { Packet("OnPacketRecvd", sender); };
            ftp.OnPacketSent = [this](QObject* sender) { Packet("OnPacketSent", sender); };
        }
    }

    // Detaches every handler it attached: the component may outlive the log.
    ~EventLog()
    {
        FFtp.OnStatus = nullptr;
        FFtp.OnConnect = nullptr;
        FFtp.OnConnectionFailed = nullptr;
        FFtp.OnTransactionStart = nullptr;
        FFtp.OnTransactionStop = nullptr;
        FFtp.OnSuccess = nullptr;
        FFtp.OnUnSupportedFunction = nullptr;
        FFtp.OnFailure = nullptr;
        FFtp.OnPacketRecvd = nullptr;
        FFtp.OnPacketSent = nullptr;
    }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Attaches OnFailure; the handler sets Handled to handled.
    void HandleFailures(bool handled)
    {
        FFtp.OnFailure = [this, handled](bool& Handled, TCmdType t) {
            Entries.push_back("OnFailure " + std::to_string(int(t)));
            Handled = handled;
        };
    }

    // The entries without status texts.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> result;
        for (const auto& e : Entries)
            if (e.rfind("status: ", 0) != 0)
                result.push_back(e);
        return result;
    }
    // Only the status texts (without the "status: " prefix).
    std::vector<std::string> Statuses() const
    {
        std::vector<std::string> result;
        for (const auto& e : Entries)
            if (e.rfind("status: ", 0) == 0)
                result.push_back(e.substr(8));
        return result;
    }

    std::vector<std::string> Entries;
    // Senders that were not the component itself (data connection events).
    int ForeignSenders = 0;

private:
    void Add(const std::string& name, QObject* sender)
    {
        if (sender != &FFtp)
            ++ForeignSenders;
        Entries.push_back(name);
    }
    // Packet events come from the data connection, many times: one entry
    // stands for a run of them.
    void Packet(const std::string& name, QObject* sender)
    {
        if (sender == &FFtp)
            ++ForeignSenders;
        if (Entries.empty() || Entries.back() != name)
            Entries.push_back(name);
    }

    TKZFTP& FFtp;
};

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    std::string bytes(size_t(in.tellg()), '\0');
    in.seekg(0);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline bool FileExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Bytes that differ from position to position (not a repeating short
// pattern), so a lost or doubled chunk shows in a comparison.
inline std::string PatternBytes(size_t size, uint32_t seed = 12345)
{
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

// Makes a temporary directory the current directory for the life of the
// object (RetrieveFile with an empty local name writes there).
class ScopedCurrentDir {
public:
    ScopedCurrentDir()
    {
        char buf[4096];
        FOld = ::getcwd(buf, sizeof buf) ? buf : "/";
        FOk = FDir.isValid() && ::chdir(FDir.path().toLocal8Bit().constData()) == 0;
    }
    ~ScopedCurrentDir() { (void)::chdir(FOld.c_str()); }
    bool Ok() const { return FOk; }
    std::string Path() const { return FDir.path().toStdString(); }

private:
    QTemporaryDir FDir;
    std::string FOld;
    bool FOk = false;
};
