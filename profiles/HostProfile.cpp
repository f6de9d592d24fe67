#include "profiles/HostProfile.h"

#include "codec/HostText.h"
#include "sock/TKZSock.h"
#include "sock/SshFingerprint.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace {

// A host-list text as the error report shows it: UTF-8.
std::string Shown(const std::string& bytes, bool shiftJis)
{
    return HostTextToQString(bytes, shiftJis).toStdString();
}

[[noreturn]] void Refuse(const HostProfile& profile, bool shiftJis, const std::string& what,
                         const std::string& value, const std::string& hint)
{
    throw EProfileError("ホスト「" + Shown(profile.Label, shiftJis) + "」の" + what + "「" +
                        Shown(value, shiftJis) + "」は使えません (" + hint + ")");
}

std::string Field(const TextList& fields, int index)
{
    return index < fields.Count() ? fields[index] : std::string();
}

} // namespace

int ParseProfilePort(const std::string& field)
{
    if (field.empty())
        return HostProfile::DefaultPort;
    if (!std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    int port = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), port);
    if (error != std::errc() || end != field.data() + field.size() || port < 1 || port > 65535)
        return 0;
    return port;
}

TTlsSecurity ParseSecurityField(const HostProfile& profile, bool shiftJis)
{
    TTlsSecurity security;
    if (!TTlsSecurity::Parse(profile.Security, security))
        Refuse(profile, shiftJis, "第 8 欄 (TLS)", profile.Security,
               "空欄、tls、証明書の SHA-256 指紋 (16 進数 64 桁)、sftp、または sftp=鍵の指紋 を書いてください");
    return security;
}

void ParseProtocolField(HostProfile& profile, bool shiftJis)
{
    const std::string& text = profile.Security;
    std::string lower;
    std::transform(text.begin(), text.end(), std::back_inserter(lower),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    profile.Tls = TTlsSecurity{};
    profile.PinnedKey.clear();
    if (lower == "sftp") {
        profile.Protocol = RemoteProtocol::Sftp;
        return;
    }
    if (lower.starts_with("sftp=")) {
        // base64 is case-sensitive: the key is taken as written.
        const std::string key = text.substr(5);
        if (!IsPinnedFingerprint(key))
            Refuse(profile, shiftJis, "第 8 欄 (SFTP)", text,
                   "sftp= の後に ssh-keygen -l が SHA256: に続けて示す 43 文字を書いてください");
        profile.Protocol = RemoteProtocol::Sftp;
        profile.PinnedKey = key;
        return;
    }
    profile.Protocol = RemoteProtocol::Ftp;
    profile.Tls = ParseSecurityField(profile, shiftJis);
}

HostProfile ReadHostProfile(const TextList& fields, bool shiftJis)
{
    HostProfile profile;
    profile.User = fields[2];
    profile.Password = fields[3];
    profile.PassiveFlag = fields[4];
    profile.Host = fields[1];
    profile.Label = fields[0];
    profile.DefaultFile = Field(fields, 5);

    // A host in brackets is an IPv6 address and nothing else.
    if (!profile.Host.empty() && profile.Host.front() == '[') {
        if (profile.Host.back() != ']')
            Refuse(profile, shiftJis, "アドレス", profile.Host, "角括弧 [ ] が閉じていません");
        TSockAddress address;
        if (!TSockAddress::ParseIPv6(profile.Host, address))
            Refuse(profile, shiftJis, "アドレス", profile.Host, "[ ] の中には IPv6 アドレスを書いてください");
    }

    const std::string port = Field(fields, 6);
    profile.Port = ParseProfilePort(port);
    if (profile.Port == 0)
        Refuse(profile, shiftJis, "ポート", port, "1～65535 の数字で書いてください");
    profile.PortGiven = !port.empty();

    profile.Security = Field(fields, 7);
    ParseProtocolField(profile, shiftJis);
    if (profile.Protocol == RemoteProtocol::Sftp && !profile.PortGiven)
        profile.Port = HostProfile::DefaultSftpPort;

    profile.Encoding = Shown(Field(fields, 8), shiftJis);
    if (!profile.Encoding.empty() &&
        std::find(std::begin(ProfileEncodingNames), std::end(ProfileEncodingNames),
                  profile.Encoding) == std::end(ProfileEncodingNames))
        Refuse(profile, shiftJis, "漢字コード", Field(fields, 8),
               "JIS, EUC, UTF8, Unicode, SJIS, 自動 のどれか");
    return profile;
}

bool IsAnonymousLogin(const HostProfile& profile)
{
    if (profile.Protocol != RemoteProtocol::Ftp)
        return false;
    std::string user = profile.User;
    for (char& c : user)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return user == "anonymous" || user == "ftp";
}
