// The desktop's keyring (the Secret Service: GNOME Keyring, KWallet) through
// QtKeychain, under the program's name. Never falls back to a file: without
// a keyring every call answers NoKeyring.
#pragma once

#include "keyring/PasswordStore.h"

#include <functional>

class QEventLoop;
namespace QKeychain {
class Job;
}

class KeychainPasswordStore : public PasswordStore {
public:
    // The service name the entries are filed under.
    static constexpr const char* ServiceName = "wisplog";
    // The longest a keyring may take to answer (an unlock question
    // included) before it counts as absent.
    static constexpr int AnswerLimitMs = 120000;

    StoreAnswer Read(const std::string& entry, std::string& password) override;
    StoreAnswer Write(const std::string& entry, const std::string& password) override;
    void Abandon() override;

private:
    StoreAnswer Run(QKeychain::Job* job, const std::function<StoreAnswer(QKeychain::Job&)>& collect);

    // The wait in progress, for Abandon.
    QEventLoop* FWait = nullptr;
};
