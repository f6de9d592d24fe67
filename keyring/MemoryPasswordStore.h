// Passwords kept for this run only, in memory, never written anywhere:
// where a password goes when there is no keyring or it is not to be saved.
#pragma once

#include "keyring/PasswordStore.h"

#include <map>

class MemoryPasswordStore : public PasswordStore {
public:
    MemoryPasswordStore() = default;
    // Wipes every password held.
    ~MemoryPasswordStore() override;
    MemoryPasswordStore(const MemoryPasswordStore&) = delete;
    MemoryPasswordStore& operator=(const MemoryPasswordStore&) = delete;

    StoreAnswer Read(const std::string& entry, std::string& password) override;
    StoreAnswer Write(const std::string& entry, const std::string& password) override;
    // Forgets entry (its password wiped). Does not throw.
    void Remove(const std::string& entry);

private:
    std::map<std::string, std::string> FPasswords;
};
