// One host profile: a line of the host list split at ':'. Fields 0 to 5 are
// the label, host, user, password, passive flag and default file; field 6 is
// the control connection's port, field 7 the connection's security (plain,
// TLS verified, or TLS with a pinned certificate), field 8 names the display
// encoding. Fields after the ninth are
// ignored.
#pragma once

#include "app/Errors.h"
#include "app/TextList.h"
#include "sock/TlsSession.h"

#include <string>

class TKZFTP;

struct HostProfile {
    // The port of a profile whose port field is empty or absent.
    static constexpr int DefaultPort = 21;

    std::string Label;        // field 0
    std::string Host;         // field 1
    std::string User;         // field 2
    std::string Password;     // field 3
    std::string PassiveFlag;  // field 4: exactly "1" for passive
    std::string DefaultFile;  // field 5; empty when absent
    int Port = DefaultPort;   // field 6, checked
    std::string Security;     // field 7 as written
    TTlsSecurity Tls;         // field 7, checked
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
// list index error names the first missing one), then the optional fields,
// each checked. shiftJis: the host list is Shift_JIS, so texts quoted in an
// error are decoded from it. Throws EListError or EProfileError.
HostProfile ReadHostProfile(const TextList& fields, bool shiftJis);

// Sets every connection field of ftp from the profile: host, user,
// password, passive mode, port and security. Every connection a command
// opens goes through here, so nothing an earlier session left in the
// component (a plain-FTP security, another port) carries over. Does not wait
// or throw.
void ApplyHostProfile(TKZFTP& ftp, const HostProfile& profile);

// The port field's value: empty means DefaultPort; otherwise digits only,
// 1 to 65535. Returns 0 for anything else. Does not throw.
int ParseProfilePort(const std::string& field);

// Field 7: empty for plain FTP, "tls" for TLS verified against the trusted
// certificates, or the 64 hexadecimal digits of the certificate's SHA-256
// fingerprint for TLS with that certificate only. Throws EProfileError for
// anything else, so a profile meant for TLS never goes out in clear.
TTlsSecurity ParseSecurityField(const HostProfile& profile, bool shiftJis);
