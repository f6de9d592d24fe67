// An FTP server for tests that need exact replies or faults. It listens on
// 127.0.0.1 or ::1 (port chosen by the system), accepts one control connection and
// then runs a script of steps, in order, on a thread of its own, so it keeps
// working while the client under test waits in the Qt event loop.
//
//     ScriptedFtpServer server;
//     server.Send("220 ready\r\n")
//           .Reply("331 password please\r\n")     // answers USER
//           .Reply("230 logged in\r\n")           // answers PASS
//           .Reply(ScriptedFtpServer::PasvReply(server.DataPort()))
//           .AcceptData()
//           .Reply("150 here it comes\r\n")       // answers RETR
//           .SendData("file contents").CloseData()
//           .Send("226 done\r\n")
//           .Reply("221 bye\r\n");                // answers QUIT
//     ... client connects to server.Port() and works ...
//     EXPECT_EQ(server.Transcript(), (std::vector<std::string>{"USER u", "PASS p", ...}));
//
// Every command line the client sends is recorded, without its CR LF, in
// Transcript(), by the step that reads it. Once the script is used up the
// server goes on reading and recording commands and answers each with
// "500 Unscripted command" so a surprise command shows in the transcript
// instead of hanging the client. Each step waits at most StepLimit (given
// to the constructor) for the client; a step that runs out records its
// error in Error() and ends the script. Build the script before the client
// connects.
//
// Like a server that predates EPSV, it answers an "EPSV" command itself with
// "500 'EPSV': command not understood." (recorded in the transcript, no
// step used), unless ScriptEpsv() hands EPSV to the script. The destructor stops the thread within a bounded time and closes
// every socket.
//
// TLS: UseTls(certificate, key) before the script gives the server a
// certificate; SecureControl() then runs the server's side of the handshake
// on the control connection (after the "234" reply to AUTH TLS), and
// SecureData() on the data connection (after the "150" reply). From then on
// that connection's bytes are protected; CloseData() ends a protected data
// connection with close_notify, CutData() with a plain TCP close only, as a
// forged or broken close would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <string>
#include <thread>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

class ScriptedFtpServer {
public:
    enum class Family { IPv4, IPv6 };
    // Listens on 127.0.0.1, or on ::1 for Family::IPv6 (throws
    // std::runtime_error when ::1 cannot be bound).
    explicit ScriptedFtpServer(std::chrono::milliseconds stepLimit = std::chrono::milliseconds(10000),
                               Family family = Family::IPv4);
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    // The control port.
    uint16_t Port() const { return FPort; }
    // Port of the passive-mode data listener (on the control address, created here).
    // Its receive buffer is small, so a client that uploads to a server that
    // does not read stalls soon.
    uint16_t DataPort() const { return FDataPort; }
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)\r\n" for a port; the
    // address part is given as text, for example "192,168,0,9".
    static std::string PasvReply(uint16_t port, const std::string& address = "127,0,0,1");
    // "229 Entering Extended Passive Mode (|||port|)\r\n".
    static std::string EpsvReply(uint16_t port);
    // EPSV commands are read by Reply steps like any other command.
    ScriptedFtpServer& ScriptEpsv();

    // Loads the certificate and key (PEM files) for SecureControl and
    // SecureData. Throws std::runtime_error when they cannot be used.
    // tls12Only: TLS 1.2 at most (the last version with renegotiation).
    void UseTls(const std::string& certificateFile, const std::string& keyFile, bool tls12Only = false);
    // What RenegotiateData found: "accepted", "refused" (the client
    // declined), or the library's reason for another failure.
    std::string Renegotiation() const;

    // --- script steps (each returns *this so steps chain) ---
    // Sends bytes on the control connection exactly as given.
    ScriptedFtpServer& Send(std::string bytes);
    // Reads one command line, records it, then sends bytes (may be empty).
    ScriptedFtpServer& Reply(std::string bytes);
    // Reads one command line and records it, sending nothing.
    ScriptedFtpServer& Receive() { return Reply(""); }
    // Accepts the client's connection on DataPort().
    ScriptedFtpServer& AcceptData();
    // Connects to the address and port of the last PORT or EPRT command recorded.
    ScriptedFtpServer& ConnectData();
    // Sends bytes on the data connection.
    ScriptedFtpServer& SendData(std::string bytes);
    // Reads the data connection until the client closes it; ReceivedData().
    ScriptedFtpServer& ReceiveData();
    // Closes the data connection (end of a download for the client); a
    // protected one with close_notify first.
    ScriptedFtpServer& CloseData();
    // Closes the data connection without close_notify (same as CloseData on
    // a plain one).
    ScriptedFtpServer& CutData();
    // TLS handshake, server side, on the control or the data connection.
    ScriptedFtpServer& SecureControl();
    ScriptedFtpServer& SecureData();
    // Asks the client to renegotiate the protected data connection and
    // waits (at most 2 s) for its answer; see Renegotiation().
    ScriptedFtpServer& RenegotiateData();
    // Resets the data connection (closes it with lingering on, time 0).
    ScriptedFtpServer& ResetData();
    // Does nothing for a while (the data connection, if any, stays open).
    ScriptedFtpServer& Pause(std::chrono::milliseconds duration);
    // Closes the control connection.
    ScriptedFtpServer& CloseControl();
    // Any other action, run on the server's thread.
    ScriptedFtpServer& Call(std::function<void()> action);

    // --- results ---
    std::vector<std::string> Transcript() const;
    std::string ReceivedData() const;
    // The first step failure ("" when none).
    std::string Error() const;
    // Whether the client's control connection was accepted.
    bool ClientConnected() const { return FClientConnected.load(); }
    // Waits (not pumping any event loop) at most limit until every step has
    // run; true when they have.
    bool WaitScriptDone(std::chrono::milliseconds limit) const;

private:
    enum class Kind { Send, Reply, AcceptData, ConnectData, SendData, ReceiveData, CloseData, CutData,
                      ResetData, Pause, CloseControl, Call, SecureControl, SecureData, RenegotiateData };
    struct Step {
        Kind What;
        std::string Bytes;
        std::chrono::milliseconds Duration{0};
        std::function<void()> Action;
    };

    ScriptedFtpServer& Add(Step step);
    void Run();
    bool RunStep(const Step& step);
    bool WaitReadable(int fd, std::chrono::milliseconds limit);
    bool ReadCommand(std::string& line);
    // ReadCommand, answering EPSV itself unless the script takes it.
    bool ReadScriptedCommand(std::string& line);
    bool SendAll(int fd, const std::string& bytes);
    ssize_t ReceiveSome(int fd, char* into, size_t size);
    bool Secure(int fd, ssl_st*& tls);
    ssl_st* TlsOf(int fd) const;
    void EndTls(ssl_st*& tls, bool notify);
    void Record(const std::string& line);
    void Fail(const std::string& error);

    std::chrono::milliseconds FStepLimit;
    int FListener = -1;
    int FDataListener = -1;
    int FControl = -1;
    int FData = -1;
    uint16_t FPort = 0;
    uint16_t FDataPort = 0;
    std::string FPending;   // control bytes read past the last line
    ssl_ctx_st* FTlsContext = nullptr;
    ssl_st* FControlTls = nullptr;
    ssl_st* FDataTls = nullptr;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FClientConnected{false};
    std::atomic<bool> FScriptEpsv{false};
    Family FFamily;

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<Step> FSteps;
    std::vector<std::string> FTranscript;
    std::string FReceived;
    std::string FError;
    std::string FRenegotiation;
    bool FScriptDone = false;
    std::thread FThread;
};
