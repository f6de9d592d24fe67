// "パスワードをキーリングへ移す…": every password the host list holds goes
// to the keyring, then the list is rewritten with those fields empty, every
// other byte as it was.
#pragma once

#include "keyring/PasswordStore.h"
#include "profiles/HostProfile.h"

#include <string>
#include <vector>

// A profile line's password to move: the profile as read from its line.
struct HostListPassword {
    int Line = 0; // 0-based, as the host list counts lines
    HostProfile Profile;
};

// The host list bytes with field 3 emptied on every line that reads as a
// profile holding a password (anonymous FTP log-ins keep theirs: they are
// never asked for); every other byte (line ends, lines that are no
// profile, the bytes after a NUL, a last line without an end) unchanged.
// found receives those profiles in file order. Does not throw.
std::string HostListWithoutPasswords(const std::string& bytes, bool shiftJis,
                                     std::vector<HostListPassword>& found);

// What a move did.
struct MoveOutcome {
    int Moved = 0;                      // passwords stored (0: the file was left as it was)
    std::vector<std::string> NotStored; // labels (UTF-8) whose password the keyring refused
};

// Stores each password of the host list at path in store, then replaces the
// file by rename with a copy whose password fields are empty, its mode kept.
// When any password cannot be stored, the file is not touched. Waits for
// the keyring. Throws Exception when the file cannot be read or replaced
// (it is then unchanged).
MoveOutcome MovePasswordsToStore(const std::string& path, PasswordStore& store);

// Replaces path by rename with a file of bytes made beside it (a fresh name,
// O_EXCL), with path's mode. Throws Exception "Cannot create file" (path
// unchanged). Does not wait.
void ReplaceFileKeepingMode(const std::string& path, const std::string& bytes);
