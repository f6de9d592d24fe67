// Where a password the host list leaves empty is kept between log-ins: an
// interface with the desktop's keyring (KeychainPasswordStore) and memory
// for this run (MemoryPasswordStore) behind it. Entries are named by
// PasswordEntryName ("sftp://user@host:22"); passwords are bytes, as the
// server receives them.
#pragma once

#include <cstdint>
#include <string>

enum class StoreAnswer : uint8_t {
    Done,      // read or written
    NotFound,  // a keyring answered, no such entry
    NoKeyring, // no keyring answered (none on the bus, locked, refused)
};

class PasswordStore {
public:
    virtual ~PasswordStore() = default;
    // The password of entry into password (left empty unless Done). Waits
    // (the event loop runs). Does not throw.
    virtual StoreAnswer Read(const std::string& entry, std::string& password) = 0;
    // Stores password as entry, replacing an older one. Waits. Does not
    // throw; NotFound is never answered.
    virtual StoreAnswer Write(const std::string& entry, const std::string& password) = 0;
    // Ends a running Read or Write at once (it answers NoKeyring): the user
    // stopped the fetch that waits for it. Does not wait or throw.
    virtual void Abandon() { }
};
