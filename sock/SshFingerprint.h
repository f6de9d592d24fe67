// The SHA-256 fingerprint of an SSH host key as a profile pins it: the part
// after "SHA256:" that `ssh-keygen -l` prints. Kept here, beside the TLS
// certificate pin, so the profile reader and the SSH layer check it by one
// rule.
#pragma once

#include <string>

// True when text is a pinned fingerprint: exactly the 43 base64 characters
// that follow "SHA256:" in `ssh-keygen -l` (a 32-byte digest, so the last
// character carries only 4 bits: one of A E I M Q U Y c g k o s w 0 4 8).
// Does not throw.
bool IsPinnedFingerprint(const std::string& text);
