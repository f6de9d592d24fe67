#include "keyring/MemoryPasswordStore.h"

#include "sock/SecretText.h"

MemoryPasswordStore::~MemoryPasswordStore()
{
    for (auto& [entry, password] : FPasswords)
        WipeSecret(password);
}

StoreAnswer MemoryPasswordStore::Read(const std::string& entry, std::string& password)
{
    const auto found = FPasswords.find(entry);
    if (found == FPasswords.end())
        return StoreAnswer::NotFound;
    password = found->second;
    return StoreAnswer::Done;
}

StoreAnswer MemoryPasswordStore::Write(const std::string& entry, const std::string& password)
{
    std::string& kept = FPasswords[entry];
    WipeSecret(kept);
    kept = password;
    return StoreAnswer::Done;
}

void MemoryPasswordStore::Remove(const std::string& entry)
{
    const auto found = FPasswords.find(entry);
    if (found == FPasswords.end())
        return;
    WipeSecret(found->second);
    FPasswords.erase(found);
}
