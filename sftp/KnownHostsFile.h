// OpenSSH's known-hosts files, read line by line so that one line that
// cannot be read never hides the others: host patterns (comma lists, `!`
// negation, `*` and `?`, `[host]:port`), hashed names (`|1|salt|hash`), the
// `@revoked` and `@cert-authority` markers, and the key as its wire-format
// blob. Also the verdict on a server's key over all the files a connection
// reads, and the line that saves a key (hashed or not). Uses OpenSSL for
// HMAC-SHA1 and SHA-256; no Qt, no libssh.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum class KnownHostsMarker { Plain, Revoked, CertAuthority };

// A readable line whose host patterns take the host name.
struct KnownHostsEntry {
    int Line = 0; // 1-based
    KnownHostsMarker Marker = KnownHostsMarker::Plain;
    std::string KeyType; // "ssh-ed25519", as the line names it
    std::string Blob;    // the key's wire-format bytes (its base64 decoded)
};

struct KnownHostsLookup {
    std::vector<KnownHostsEntry> Entries; // file order
    // Lines that cannot be read and may be meant for the host: their host
    // field takes the name (or is a hashed field that cannot be checked) but
    // the marker, key type or key is not understood or is cut short.
    std::vector<int> Unreadable;
};

// The entries of a known-hosts text for hostName ("host" or "[host]:port";
// letter case is ignored as OpenSSH does). Does not throw but bad_alloc.
KnownHostsLookup LookUpKnownHosts(std::string_view text, std::string_view hostName);

// True when a comma list of host patterns takes hostName: one positive
// pattern matches and no `!` pattern does. A field starting with `|` is a
// hashed name. Does not throw.
bool KnownHostsPatternsMatch(std::string_view patterns, std::string_view hostName);

// OpenSSH's wildcard match: `*` any run, `?` any one character; the whole
// of text must match. Case-sensitive (callers fold case). Linear in memory,
// at most |pattern| x |text| steps. Does not throw.
bool WildcardMatch(std::string_view pattern, std::string_view text);

// "SHA256:" + unpadded base64 of the SHA-256 of a key blob, as ssh-keygen -l
// prints it.
std::string KeyBlobFingerprint(const std::string& blob);

// Padded base64 and back; decoding is strict (OpenSSH's alphabet, padding
// where it belongs) and false for anything else.
std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string& bytes);

// The known-hosts line for a key: "name type base64", the name hashed as
// `|1|salt|hash` (a fresh random salt) when hashed is set. Throws Exception
// when no random salt can be had.
std::string KnownHostsEntryLine(std::string_view hostName, const std::string& keyType,
                                const std::string& blob, bool hashed);

// What the known-hosts files say of a server's key, files read in order
// (the user's, then the global ones); a missing file says nothing.
struct KnownHostsVerdict {
    enum Kind { Unknown, Known, Changed, Revoked } Verdict = Unknown;
    // Revoked: the line marking the key. Changed: the first readable line
    // of the host with another key.
    std::string File;
    int Line = 0;
    std::string KnownType;               // Changed: that line's key type
    std::string KnownFingerprint;        // Changed: its "SHA256:..."
    std::vector<std::string> Unreadable; // "file:line" (line 0: the whole file)
};

// A key marked @revoked for the host in any file is Revoked, whatever else
// lists it; else a plain entry with this key is Known; else a plain entry
// with another key is Changed; else Unknown. @cert-authority lines neither
// trust nor refuse. Does not throw but bad_alloc.
KnownHostsVerdict CheckKnownHosts(const std::vector<std::string>& files, std::string_view hostName,
                                  const std::string& keyBlob);

// The whole text of a known-hosts file. Missing: empty and true; present
// but unreadable: false. Does not throw but bad_alloc.
bool ReadKnownHostsText(const std::string& file, std::string& text);
