// Host keys as users see and write them: the SHA-256 fingerprint in the
// form `ssh-keygen -l` prints, the pinned value of a profile, the entries of
// OpenSSH's known-hosts files.
#pragma once

#include "sock/SshFingerprint.h"   // IsPinnedFingerprint, the profile's pin rule

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Unpadded base64 of bytes, as OpenSSH prints fingerprints. Does not throw.
std::string UnpaddedBase64(const unsigned char* bytes, size_t count);

// The name a known-hosts entry is written under: "host" on port 22,
// "[host]:port" otherwise.
std::string KnownHostsName(const std::string& host, int port);

// Where a known-hosts file lists a host.
struct KnownHostsLine {
    std::string File;
    int Line = 0;                // 1-based
    std::string KeyType;         // "ssh-ed25519", ...
    std::string Fingerprint;     // "SHA256:..."
};

// The entries of file that name host (hashed names and "[host]:port"
// understood), in file order; none when the file is missing. Does not throw.
std::vector<KnownHostsLine> FindKnownHostsLines(const std::string& file, const std::string& hostName);

// Appends line (one entry, without its line end) to the known-hosts file,
// creating the file 0600 (and its folder 0700) when missing; a symlink in
// place of the file is refused. Does not wait. Throws Exception naming the
// file on failure.
void AppendKnownHostsLine(const std::string& file, const std::string& line);
