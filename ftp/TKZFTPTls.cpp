// TKZFTP: explicit TLS. The control connection is secured right after the
// greeting, before the user name is sent; after the log-in the data
// connections are declared protected, and each one is secured once it
// stands, resuming the control connection's TLS session (servers may insist
// that the data connection comes from the same client).
#include "ftp/TKZFTP.h"

void TKZFTP::SecureControlConnection()
{
    ReportStatus(1, "AUTH TLS");
    std::string reply;
    Transaction("AUTH TLS", reply);
    // Only the agreed answer lets TLS begin. Anything else ends the session
    // here, without even a QUIT: nothing at all follows AUTH TLS in clear.
    if (ReplyNumber() != 234) {
        FControlBroken = true;
        RefuseConnect(reply);
    }
    try {
        // Plain bytes after the agreement would be read as if they had been
        // protected: a server that sends any is not trusted.
        if (DataAvailable())
            throw ESockError("TLS: ハンドシェイク失敗 (unexpected data before the handshake)");
        StartTls(Security);
    } catch (...) {
        // The server now expects a handshake; a plain QUIT would be noise.
        FControlBroken = true;
        throw;
    }
}

void TKZFTP::ProtectDataConnections()
{
    std::string reply;
    ReportStatus(1, "PBSZ 0");
    Transaction("PBSZ 0", reply);
    if (ReplyNumber() < 200 || ReplyNumber() > 299)
        RefuseConnect(reply);
    ReportStatus(1, "PROT P");
    Transaction("PROT P", reply);
    if (ReplyNumber() < 200 || ReplyNumber() > 299)
        RefuseConnect(reply);
}

void TKZFTP::SecureDataConnection()
{
    if (Security.Mode == TTlsMode::Off)
        return;
    // The certificate is checked against the server the control connection
    // was opened for, also when the server dialled us (active mode).
    FDataConnection->Host = Host;
    FDataConnection->StartTls(Security, this);
}
