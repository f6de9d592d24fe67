#include "sftp/KnownHostsFile.h"

#include "sock/Exception.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view HashMagic = "|1|";
constexpr size_t Sha1Bytes = 20;
// A known-hosts file larger than this is not read (named as unreadable): it
// is read on the window's thread, about 3 us a hashed line (16 MiB: 0.5 s).
constexpr off_t LargestFile = 16 * 1024 * 1024;

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return out;
}

// The next blank-separated word of rest, which is advanced past it and
// the blanks behind it.
std::string_view NextWord(std::string_view& rest)
{
    size_t end = 0;
    while (end < rest.size() && !IsBlank(rest[end]))
        ++end;
    const std::string_view word = rest.substr(0, end);
    while (end < rest.size() && IsBlank(rest[end]))
        ++end;
    rest.remove_prefix(end);
    return word;
}

// HMAC-SHA1 (RFC 2104) over one digest context kept per thread: each
// hashed line has a salt of its own, and OpenSSL's one-call HMAC looks the
// digest up again every time, which made a file of hashed names cost
// 15 us a line.
std::string HmacSha1(std::string_view key, std::string_view data)
{
    constexpr size_t Block = 64;
    struct Context {
        EVP_MD* Md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
        EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
        ~Context()
        {
            EVP_MD_CTX_free(Ctx);
            EVP_MD_free(Md);
        }
    };
    thread_local Context context;
    if (context.Md == nullptr || context.Ctx == nullptr)
        return std::string();
    unsigned char pad[Block] = {};
    if (key.size() > Block) {
        unsigned int n = 0;
        if (EVP_Digest(key.data(), key.size(), pad, &n, context.Md, nullptr) != 1)
            return std::string();
    } else {
        std::memcpy(pad, key.data(), key.size());
    }
    // H((key ^ pad byte) || tail) into out; its length, 0 on failure.
    const auto digest = [&](unsigned char padByte, const void* tail, size_t tailLength, unsigned char* out) {
        unsigned char block[Block];
        for (size_t k = 0; k < Block; ++k)
            block[k] = pad[k] ^ padByte;
        unsigned int n = 0;
        const bool ok = EVP_DigestInit_ex(context.Ctx, context.Md, nullptr) == 1 &&
            EVP_DigestUpdate(context.Ctx, block, Block) == 1 &&
            EVP_DigestUpdate(context.Ctx, tail, tailLength) == 1 &&
            EVP_DigestFinal_ex(context.Ctx, out, &n) == 1;
        return ok ? n : 0u;
    };
    unsigned char inner[EVP_MAX_MD_SIZE];
    unsigned char outer[EVP_MAX_MD_SIZE];
    const unsigned int innerLength = digest(0x36, data.data(), data.size(), inner);
    const unsigned int length = innerLength == 0 ? 0 : digest(0x5c, inner, innerLength, outer);
    return std::string(reinterpret_cast<const char*>(outer), length);
}

enum class HostMatch { No, Yes, Unknown };

// A hashed field "|1|salt|hash" against a lower-case name. Unknown when
// the field is not a hash this code can check.
HostMatch MatchHashed(std::string_view field, std::string_view lowerName)
{
    if (field.substr(0, HashMagic.size()) != HashMagic)
        return HostMatch::Unknown;
    const std::string_view rest = field.substr(HashMagic.size());
    const size_t bar = rest.find('|');
    if (bar == std::string_view::npos)
        return HostMatch::Unknown;
    std::string salt, hash;
    if (!Base64Decode(rest.substr(0, bar), salt) || salt.size() != Sha1Bytes ||
        !Base64Decode(rest.substr(bar + 1), hash) || hash.size() != Sha1Bytes)
        return HostMatch::Unknown;
    const std::string mine = HmacSha1(salt, lowerName);
    return mine.size() == hash.size() && CRYPTO_memcmp(mine.data(), hash.data(), hash.size()) == 0
        ? HostMatch::Yes
        : HostMatch::No;
}

HostMatch MatchHostField(std::string_view field, std::string_view lowerName)
{
    if (!field.empty() && field[0] == '|')
        return MatchHashed(field, lowerName);
    bool positive = false;
    while (true) {
        const size_t comma = field.find(',');
        const std::string_view one = field.substr(0, comma);
        const bool negated = !one.empty() && one[0] == '!';
        if (WildcardMatch(Lower(negated ? one.substr(1) : one), lowerName)) {
            if (negated)
                return HostMatch::No;
            positive = true;
        }
        if (comma == std::string_view::npos)
            break;
        field.remove_prefix(comma + 1);
    }
    return positive ? HostMatch::Yes : HostMatch::No;
}

// How a key type's blob is laid out: the number of SSH strings it holds
// (the type name first), the curve name of ECDSA keys, the length of the
// Ed25519 point.
struct KeyShape {
    std::string_view Type;
    int Strings;
    std::string_view Curve; // second string, when set
    size_t PointLength;     // second string's length, when not 0
};

constexpr std::array<KeyShape, 8> KeyShapes = {{
    {"ssh-ed25519", 2, "", 32},
    {"ssh-rsa", 3, "", 0},
    {"ssh-dss", 5, "", 0},
    {"ecdsa-sha2-nistp256", 3, "nistp256", 0},
    {"ecdsa-sha2-nistp384", 3, "nistp384", 0},
    {"ecdsa-sha2-nistp521", 3, "nistp521", 0},
    {"sk-ssh-ed25519@openssh.com", 3, "", 32},
    {"sk-ecdsa-sha2-nistp256@openssh.com", 4, "nistp256", 0},
}};

// True when blob is a whole key of the named type: its strings, no more
// and no fewer, the first naming that type.
bool IsKeyBlob(std::string_view type, std::string_view blob)
{
    const KeyShape* shape = nullptr;
    for (const KeyShape& s : KeyShapes)
        if (s.Type == type)
            shape = &s;
    if (shape == nullptr)
        return false;
    std::vector<std::string_view> strings;
    while (!blob.empty()) {
        if (blob.size() < 4)
            return false;
        const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
        const uint32_t length = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
        if (length > blob.size() - 4)
            return false;
        strings.push_back(blob.substr(4, length));
        blob.remove_prefix(4 + size_t(length));
    }
    if (int(strings.size()) != shape->Strings || strings[0] != type)
        return false;
    if (!shape->Curve.empty() && strings[1] != shape->Curve)
        return false;
    return shape->PointLength == 0 || strings[1].size() == shape->PointLength;
}

} // namespace

bool WildcardMatch(std::string_view pattern, std::string_view text)
{
    // Greedy with one backtrack point: the last `*` seen takes one more
    // character each time what follows it fails.
    size_t p = 0, t = 0;
    size_t star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool KnownHostsPatternsMatch(std::string_view patterns, std::string_view hostName)
{
    return MatchHostField(patterns, Lower(hostName)) == HostMatch::Yes;
}

std::string Base64Encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = uint32_t(b[i]) << 16 | uint32_t(b[i + 1]) << 8 | b[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += Alphabet[(v >> shift) & 63];
    }
    const size_t left = bytes.size() - i;
    if (left > 0) {
        const uint32_t v = uint32_t(b[i]) << 16 | (left == 2 ? uint32_t(b[i + 1]) << 8 : 0);
        out += Alphabet[(v >> 18) & 63];
        out += Alphabet[(v >> 12) & 63];
        out += left == 2 ? Alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool Base64Decode(std::string_view text, std::string& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0) : 0;
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = k >= 4 - pad ? 0 : Base64Value(text[i + size_t(k)]);
            if (d < 0)
                return false;
            v = v << 6 | uint32_t(d);
        }
        bytes += char(v >> 16);
        if (pad < 2)
            bytes += char(v >> 8 & 0xff);
        if (pad < 1)
            bytes += char(v & 0xff);
        // Bits past the last byte must be zero: one text per blob.
        if ((pad == 1 && (v & 0xff) != 0) || (pad == 2 && (v & 0xffff) != 0))
            return false;
    }
    return true;
}

std::string KeyBlobFingerprint(const std::string& blob)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(blob.data(), blob.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return std::string();
    std::string text = Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), length));
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return "SHA256:" + text;
}

KnownHostsLookup LookUpKnownHosts(std::string_view text, std::string_view hostName)
{
    KnownHostsLookup found;
    const std::string name = Lower(hostName);
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        while (!line.empty() && IsBlank(line.front()))
            line.remove_prefix(1);
        if (line.empty() || line.front() == '#')
            continue;

        KnownHostsEntry entry;
        entry.Line = number;
        bool badMarker = false;
        if (line.front() == '@') {
            const std::string_view marker = NextWord(line);
            if (marker == "@revoked")
                entry.Marker = KnownHostsMarker::Revoked;
            else if (marker == "@cert-authority")
                entry.Marker = KnownHostsMarker::CertAuthority;
            else
                badMarker = true;
        }
        const std::string_view hosts = NextWord(line);
        if (hosts.empty())
            continue; // no host field: the line names no host at all
        const HostMatch match = MatchHostField(hosts, name);
        if (match == HostMatch::No)
            continue;
        const std::string_view type = NextWord(line);
        const std::string_view base64 = NextWord(line);
        if (match == HostMatch::Unknown || badMarker || !Base64Decode(base64, entry.Blob) ||
            !IsKeyBlob(type, entry.Blob)) {
            found.Unreadable.push_back(number);
            continue;
        }
        entry.KeyType = std::string(type);
        found.Entries.push_back(std::move(entry));
    }
    return found;
}

bool ReadKnownHostsText(const std::string& file, std::string& text)
{
    text.clear();
    // O_NONBLOCK: a FIFO in place of the file must not hold the caller.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR;
    struct stat st { };
    bool ok =
        ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) && st.st_size <= LargestFile;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, size_t(n));
        ok = off_t(text.size()) <= LargestFile;
    }
    ::close(fd);
    if (!ok)
        text.clear();
    return ok;
}

KnownHostsVerdict CheckKnownHosts(const std::vector<std::string>& files, std::string_view hostName,
                                  const std::string& keyBlob)
{
    KnownHostsVerdict verdict;
    KnownHostsVerdict revoked;
    KnownHostsVerdict changed;
    bool known = false;
    for (const std::string& file : files) {
        std::string text;
        if (!ReadKnownHostsText(file, text)) {
            verdict.Unreadable.push_back(file);
            continue;
        }
        const KnownHostsLookup lookup = LookUpKnownHosts(text, hostName);
        for (int line : lookup.Unreadable)
            verdict.Unreadable.push_back(file + ":" + std::to_string(line));
        for (const KnownHostsEntry& entry : lookup.Entries) {
            const bool same = entry.Blob == keyBlob;
            if (entry.Marker == KnownHostsMarker::Revoked) {
                if (same && revoked.Verdict == KnownHostsVerdict::Unknown) {
                    revoked.Verdict = KnownHostsVerdict::Revoked;
                    revoked.File = file;
                    revoked.Line = entry.Line;
                }
            } else if (entry.Marker == KnownHostsMarker::Plain) {
                if (same) {
                    known = true;
                } else if (changed.Verdict == KnownHostsVerdict::Unknown) {
                    changed.Verdict = KnownHostsVerdict::Changed;
                    changed.File = file;
                    changed.Line = entry.Line;
                    changed.KnownType = entry.KeyType;
                    changed.KnownFingerprint = KeyBlobFingerprint(entry.Blob);
                }
            }
        }
    }
    std::vector<std::string> unreadable = std::move(verdict.Unreadable);
    if (revoked.Verdict == KnownHostsVerdict::Revoked)
        verdict = std::move(revoked);
    else if (known)
        verdict.Verdict = KnownHostsVerdict::Known;
    else if (changed.Verdict == KnownHostsVerdict::Changed)
        verdict = std::move(changed);
    verdict.Unreadable = std::move(unreadable);
    return verdict;
}

std::string KnownHostsEntryLine(std::string_view hostName, const std::string& keyType,
                                const std::string& blob, bool hashed)
{
    std::string name(hostName);
    if (hashed) {
        unsigned char salt[Sha1Bytes];
        if (RAND_bytes(salt, int(sizeof salt)) != 1)
            throw Exception("Cannot hash the host name: no random salt");
        const std::string saltBytes(reinterpret_cast<const char*>(salt), sizeof salt);
        name = std::string(HashMagic) + Base64Encode(saltBytes) + "|" +
            Base64Encode(HmacSha1(saltBytes, Lower(hostName)));
    }
    return name + " " + keyType + " " + Base64Encode(blob);
}
