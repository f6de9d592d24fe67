// The password of a log-in whose profile leaves the password field empty:
// the memory of this run first, then the keyring, else the user is asked
// (OnAsk, the window's dialog). What the user typed is kept only once the
// server has accepted it (Accepted): in the keyring when asked to and one
// answers, and in memory for the rest of the run either way, so Follow's
// reconnects do not ask again. Nothing here is ever written to a file.
//
//     PasswordSource passwords(keyring);
//     passwords.OnAsk = [](const PasswordQuestion& q, std::string& pw, bool& save) { ... };
//     std::string pw;
//     if (!passwords.Password(request, refused, pw)) ... cancelled ...
//     ... log in with pw, then WipeSecret(pw) ...
//     passwords.Accepted(request);        // after a successful log-in
#pragma once

#include "keyring/MemoryPasswordStore.h"
#include "keyring/PasswordStore.h"
#include "profiles/HostProfile.h"

#include <functional>
#include <string>

// A log-in's password as the user knows it: the entry it is filed under and
// what the question shows (UTF-8 texts).
struct PasswordRequest {
    std::string Entry;   // "ftp://user@host:21", "sftp://user@host:22"
    std::string Profile; // the profile's label
    std::string User;
    std::string Host;
};

// What the question says besides the request.
struct PasswordQuestion {
    PasswordRequest Request;
    bool Refused = false; // the server refused the password last given
    bool Keyring = true;  // a keyring answered: the password can be saved
};

// The entry name of profile's password: protocol, user, host and port
// ("sftp://user@host:22"; an SFTP profile without a port counts as 22).
// shiftJis: the host list's texts are Shift_JIS. Does not throw.
std::string PasswordEntryName(const HostProfile& profile, bool shiftJis);
// The request for profile's password. Does not throw.
PasswordRequest MakePasswordRequest(const HostProfile& profile, bool shiftJis);

class PasswordSource {
public:
    explicit PasswordSource(PasswordStore& keyring) : FKeyring(keyring) { }
    // Wipes what it holds.
    ~PasswordSource();
    PasswordSource(const PasswordSource&) = delete;
    PasswordSource& operator=(const PasswordSource&) = delete;

    // Asks the user: false cancels. save comes in checked when a keyring
    // answered; the answer says whether to keep the password there.
    std::function<bool(const PasswordQuestion& question, std::string& password, bool& save)> OnAsk;

    // The password for request into password. refused: the server refused
    // the last answer for it, which is then forgotten for this run and the
    // user is asked, saying so. Waits (the keyring, the question). Returns
    // false when the user cancels (or no one can be asked). Does not throw.
    bool Password(const PasswordRequest& request, bool refused, std::string& password);
    // The server accepted the last answer for request: a typed password is
    // kept (the keyring's entry replaced when the user asked for it). Waits
    // for the keyring. Does not throw.
    void Accepted(const PasswordRequest& request);
    // The fetch that waits in Password was stopped: a keyring wait ends at
    // once and Password answers false without asking. Does not wait or throw.
    void Stop();

private:
    enum class Origin { Memory, Keyring, User };
    void Forget();

    PasswordStore& FKeyring;
    MemoryPasswordStore FMemory;
    // The keyring answered at the last look (cleared when it did not).
    bool FKeyringAnswers = true;
    bool FStopped = false;
    // The last answer, until the log-in it served ends.
    std::string FEntry;
    std::string FPassword;
    Origin FOrigin = Origin::Memory;
    bool FSave = false;
};
