// Reading a host profile's fields: the port, the reserved security field and
// the encoding, each checked; the earlier fields as they always were.
#include "profiles/HostProfile.h"

#include <gtest/gtest.h>

namespace {

TextList Fields(const std::string& line)
{
    TextList fields;
    std::size_t start = 0;
    for (std::size_t at = line.find(':'); at != std::string::npos; at = line.find(':', start)) {
        fields.Add(line.substr(start, at - start));
        start = at + 1;
    }
    fields.Add(line.substr(start));
    return fields;
}

HostProfile Read(const std::string& line, bool shiftJis = false)
{
    return ReadHostProfile(Fields(line), shiftJis);
}

std::string Refusal(const std::string& line, bool shiftJis = false)
{
    try {
        Read(line, shiftJis);
    } catch (const EProfileError& e) {
        return e.what();
    }
    return "(accepted)";
}

TEST(HostProfile, PortIsDigitsFromOneTo65535AndEmptyMeans21)
{
    const std::pair<std::string, int> cases[] = {
        {"", 21},        {"21", 21},      {"1", 1},         {"65535", 65535}, {"2121", 2121},
        {"021", 21},     {"0", 0},        {"65536", 0},     {"21a", 0},       {" 21", 0},
        {"21 ", 0},      {"-1", 0},       {"+21", 0},       {"0x15", 0},      {"2 1", 0},
        {"4294967317", 0}, {"99999999999999999999", 0}, {"１", 0},
    };
    for (const auto& [field, port] : cases)
        EXPECT_EQ(ParseProfilePort(field), port) << "'" << field << "'";
}

TEST(HostProfile, OptionalFieldsAbsentOrEmptyKeepTheOldMeaning)
{
    for (const std::string line : {"l:h:u:p:1:/a.log", "l:h:u:p:1:/a.log:", "l:h:u:p:1:/a.log::",
                                   "l:h:u:p:1:/a.log:::", "l:h:u:p:1:/a.log::::extra:more"}) {
        SCOPED_TRACE(line);
        const HostProfile profile = Read(line);
        EXPECT_EQ(profile.Label, "l");
        EXPECT_EQ(profile.Host, "h");
        EXPECT_EQ(profile.User, "u");
        EXPECT_EQ(profile.Password, "p");
        EXPECT_EQ(profile.PassiveFlag, "1");
        EXPECT_EQ(profile.DefaultFile, "/a.log");
        EXPECT_EQ(profile.Port, 21);
        EXPECT_EQ(profile.Security, "");
        EXPECT_EQ(profile.Encoding, "");
    }
    // Field 7: plain, verified TLS, or a pinned fingerprint in either case.
    EXPECT_EQ(Read("l:h:u:p:1:/a.log::").Tls.Mode, TTlsMode::Off);
    EXPECT_EQ(Read("l:h:u:p:1:/a.log::tls").Tls.Mode, TTlsMode::Verify);
    const HostProfile pinned =
        Read("l:h:u:p:1:/a.log:990:00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff:UTF8");
    EXPECT_EQ(pinned.Tls.Mode, TTlsMode::Pin);
    EXPECT_EQ(pinned.Tls.Fingerprint, "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    EXPECT_EQ(pinned.Port, 990);
    EXPECT_EQ(pinned.Encoding, "UTF8");
    // Five fields still make a profile that can be fetched (the file is typed).
    EXPECT_EQ(Read("l:h:u:p:0").DefaultFile, "");
    const HostProfile full = Read(" l : h : u : p : 1 :/x:8021::SJIS:ignored:too");
    EXPECT_EQ(full.Host, " h ") << "nothing is trimmed";
    EXPECT_EQ(full.PassiveFlag, " 1 ");
    EXPECT_EQ(full.Port, 8021);
    EXPECT_EQ(full.Encoding, "SJIS");
}

TEST(HostProfile, BadOptionalFieldsAreRefusedNamingLabelAndValue)
{
    for (const std::string port : {"0", "65536", "21a", " 21", "-1"}) {
        const std::string text = Refusal("本番:h:u:p:1:/a.log:" + port);
        EXPECT_EQ(text, "ホスト「本番」のポート「" + port + "」は使えません (1～65535 の数字で書いてください)");
    }
    EXPECT_EQ(Refusal("本番:h:u:p:1:/a.log:21:ssl"),
              "ホスト「本番」の第 8 欄 (TLS)「ssl」は使えません (空欄、tls、証明書の SHA-256 "
              "指紋 (16 進数 64 桁)、sftp、または sftp=鍵の指紋 を書いてください)");
    EXPECT_NE(Refusal("l:h:u:p:1:/a.log:: ").find("「 」"), std::string::npos)
        << "a blank alone is not plain FTP";
    // A fingerprint one digit short, or written with colons, is refused as a
    // whole (the colons make more fields, the first of them too short).
    const std::string digits = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
    EXPECT_NE(Refusal("l:h:u:p:1:/a.log::" + digits.substr(1)).find("「" + digits.substr(1) + "」"),
              std::string::npos);
    EXPECT_NE(Refusal("l:h:u:p:1:/a.log::00:11:22").find("「00」"), std::string::npos);
    for (const std::string name : {"utf8", "UTF-8", " EUC", "Auto", "EUC-JP"})
        EXPECT_EQ(Refusal("l:h:u:p:1:/a.log:::" + name),
                  "ホスト「l」の漢字コード「" + name + "」は使えません (JIS, EUC, UTF8, Unicode, SJIS, 自動 のどれか)");
    // The port is checked first, so one report names one fault.
    EXPECT_NE(Refusal("l:h:u:p:1:/a.log:x:tls:bad").find("ポート「x」"), std::string::npos);
}

TEST(HostProfile, BracketsHoldAnIPv6AddressClosedByItsBracket)
{
    TextList fields;
    for (const char* field : {"v6", "[2001:db8::1]", "u", "p", "1", "/a.log"})
        fields.Add(field);
    EXPECT_EQ(ReadHostProfile(fields, false).Host, "[2001:db8::1]");

    // The field splitter leaves an unclosed bracket at the next colon.
    EXPECT_EQ(Refusal("本番:[2001:db8::1:u:p:1:/a.log"),
              "ホスト「本番」のアドレス「[2001」は使えません (角括弧 [ ] が閉じていません)");
    for (const char* host : {"[]", "[host.example]", "[127.0.0.1]", "[::1]x", "[:::]"}) {
        TextList bad;
        for (const char* field : {"本番", host, "u", "p", "1", "/a.log"})
            bad.Add(field);
        try {
            ReadHostProfile(bad, false);
            ADD_FAILURE() << host << " accepted";
        } catch (const EProfileError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("ホスト「本番」のアドレス「") + host +
                                                 (std::string(host).back() == ']'
                                                      ? "」は使えません ([ ] の中には IPv6 アドレスを書いてください)"
                                                      : "」は使えません (角括弧 [ ] が閉じていません)"));
        }
    }
}

TEST(HostProfile, SftpFieldChoosesTheProtocolItsPortAndThePinnedKey)
{
    // The fingerprint `ssh-keygen -l` prints after "SHA256:" for a real key.
    const std::string key = "nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8";
    const HostProfile checked = Read("l:h:u:p:1:/a.log::sftp");
    EXPECT_EQ(checked.Protocol, RemoteProtocol::Sftp);
    EXPECT_EQ(checked.Port, 22) << "an empty port field means SSH's port";
    EXPECT_FALSE(checked.PortGiven);
    EXPECT_EQ(checked.PinnedKey, "");
    EXPECT_EQ(checked.Tls.Mode, TTlsMode::Off);
    EXPECT_EQ(Read("l:h:u:p:1:/a.log::SFTP").Protocol, RemoteProtocol::Sftp);

    const HostProfile pinned = Read("l:h:u:p:0:/a.log:2222:sftp=" + key + ":UTF8");
    EXPECT_EQ(pinned.Protocol, RemoteProtocol::Sftp);
    EXPECT_EQ(pinned.PinnedKey, key);
    EXPECT_EQ(pinned.Port, 2222);
    EXPECT_TRUE(pinned.PortGiven);
    EXPECT_EQ(pinned.Encoding, "UTF8");
    EXPECT_EQ(Read("l:h:u:p:1:/a.log:22:Sftp=" + key).PinnedKey, key) << "the word in any case";

    // FTP profiles keep port 21 and no key.
    const HostProfile ftp = Read("l:h:u:p:1:/a.log::tls");
    EXPECT_EQ(ftp.Protocol, RemoteProtocol::Ftp);
    EXPECT_EQ(ftp.Port, 21);
    EXPECT_EQ(ftp.PinnedKey, "");
}

TEST(HostProfile, BadSftpValuesAreRefusedNamingLabelAndValue)
{
    const std::string key = "nThbg6kXUpJWGl7E1IGOCspRomTxdCARLviKw6E5SY8";
    const std::string hint = "sftp= の後に ssh-keygen -l が SHA256: に続けて示す 43 文字を書いてください";
    // A pin one character short or long, with its "SHA256:" prefix (whose
    // colon splits the field), with bits past the digest, with padding, or
    // empty.
    for (const std::string value : {"sftp=" + key.substr(1), "sftp=" + key + "A", "sftp=" + key.substr(0, 42) + "9",
                                    "sftp=" + key + "=", std::string("sftp="),
                                    "sftp= " + key.substr(1)}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(Refusal("本番:h:u:p:1:/a.log::" + value),
                  "ホスト「本番」の第 8 欄 (SFTP)「" + value + "」は使えません (" + hint + ")");
    }
    EXPECT_NE(Refusal("l:h:u:p:1:/a.log::sftp=SHA256:" + key).find("「sftp=SHA256」"), std::string::npos);
    // Near misses of the word are not taken for plain FTP.
    for (const std::string value : {"sftp ", " sftp", "ssh", "sftps", "scp"})
        EXPECT_NE(Refusal("l:h:u:p:1:/a.log::" + value).find("第 8 欄"), std::string::npos) << value;
}

TEST(HostProfile, EveryMenuEncodingIsAcceptedAndShiftJisListsAreDecoded)
{
    for (const char* name : ProfileEncodingNames)
        EXPECT_EQ(Read(std::string("l:h:u:p:1:/a.log:::") + name).Encoding, name);
    // "本番" and "自動" as a Japanese Windows editor writes them.
    EXPECT_EQ(Read("\x96\x7b\x94\xd4:h:u:p:1:/a.log:::\x8e\xa9\x93\xae", true).Encoding, "自動");
    EXPECT_EQ(Refusal("\x96\x7b\x94\xd4:h:u:p:1:/a.log:\x82\x50", true),
              "ホスト「本番」のポート「１」は使えません (1～65535 の数字で書いてください)");
}

} // namespace
