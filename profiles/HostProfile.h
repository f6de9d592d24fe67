// One host profile: a line of the host list split at ':'. Fields 0 to 5 are
// the label, host, user, password, passive flag and default file; field 6 is
// the server's port, field 7 the protocol and its security (plain FTP, TLS
// verified, TLS with a pinned certificate, SFTP with the host key checked
// against the known-hosts files, or SFTP with a pinned host key), field 8
// names the display encoding. Fields after the ninth are ignored.
#pragma once

#include "profiles/Errors.h"
#include "profiles/TextList.h"
#include "sock/TlsSession.h"

#include <string>

// How the profile's server is reached.
enum class RemoteProtocol { Ftp, Sftp };

struct HostProfile {
    // The port of an FTP profile whose port field is empty or absent.
    static constexpr int DefaultPort = 21;
    // The same for an SFTP profile.
    static constexpr int DefaultSftpPort = 22;

    std::string Label;        // field 0
    std::string Host;         // field 1: a name, an IPv4 address or "[IPv6]"
    std::string User;         // field 2
    std::string Password;     // field 3
    std::string PassiveFlag;  // field 4: exactly "1" for passive (FTP only)
    std::string DefaultFile;  // field 5; empty when absent
    int Port = DefaultPort;   // field 6, checked; the protocol's default when empty
    bool PortGiven = false;   // field 6 was written (SFTP: else ~/.ssh/config may name it)
    std::string Security;     // field 7 as written
    RemoteProtocol Protocol = RemoteProtocol::Ftp;  // field 7: "sftp" or "sftp=..." is SFTP
    TTlsSecurity Tls;         // field 7 of an FTP profile, checked; Off for SFTP
    std::string PinnedKey;    // field 7 "sftp=<43 characters>": the host key's SHA-256; else ""
    std::string Encoding;     // field 8: an encoding menu caption, or empty
};

// A profile that cannot be used as written; the text names its label and the
// bad value.
class EProfileError : public Exception {
public:
    using Exception::Exception;
};

// The encoding menu's captions that field 8 may name.
inline constexpr const char* ProfileEncodingNames[] = {"JIS", "EUC", "UTF8", "Unicode", "SJIS",
                                                       "自動"};

// Reads a profile from its fields: fields 2, 3, 4 and 1, in this order (the
// list index error names the first missing one), then the host (a '[' must
// open an IPv6 address closed by ']') and the optional fields, each checked. shiftJis: the host list is Shift_JIS, so texts quoted in an
// error are decoded from it. Throws EListError or EProfileError.
HostProfile ReadHostProfile(const TextList& fields, bool shiftJis);

// An FTP profile whose user is "anonymous" or "ftp" (any letter case): its
// password field is sent as it is, never asked for. Does not throw.
bool IsAnonymousLogin(const HostProfile& profile);

// The port field's value: empty means DefaultPort; otherwise digits only,
// 1 to 65535. Returns 0 for anything else. Does not throw.
int ParseProfilePort(const std::string& field);

// Field 7: empty for plain FTP, "tls" for TLS verified against the trusted
// certificates, or the 64 hexadecimal digits of the certificate's SHA-256
// fingerprint for TLS with that certificate only. Throws EProfileError for
// anything else (the SFTP values included), so a profile meant for TLS never
// goes out in clear.
TTlsSecurity ParseSecurityField(const HostProfile& profile, bool shiftJis);

// Field 7 as a whole: sets Protocol, Tls and PinnedKey of profile from its
// Security text. "sftp" (any letter case) is SFTP with the host key checked
// against the known-hosts files; "sftp=" and the 43 base64 characters that
// follow "SHA256:" in `ssh-keygen -l` is SFTP with that key only; anything
// else is read by ParseSecurityField. Throws EProfileError naming the label
// and the value, so nothing is dialled with a profile meant for a checked key.
void ParseProtocolField(HostProfile& profile, bool shiftJis);
