// SftpSession: the log-in (agent, key files with their passphrases,
// password and keyboard-interactive) and the SFTP channel it opens.
#include "sftp/SftpSession.h"
#include "sftp/SftpSessionImpl.h"

#include "sock/SecretText.h"

#include <QObject>
#include <QScopeGuard>

#include <cstring>
#include <memory>

using namespace SftpSessionInternal;

namespace {

std::string MethodNames(int methods)
{
    std::string names;
    auto add = [&](int bit, const char* name) {
        if (methods & bit)
            names += (names.empty() ? "" : ", ") + std::string(name);
    };
    add(SSH_AUTH_METHOD_PUBLICKEY, "publickey");
    add(SSH_AUTH_METHOD_PASSWORD, "password");
    add(SSH_AUTH_METHOD_INTERACTIVE, "keyboard-interactive");
    add(SSH_AUTH_METHOD_HOSTBASED, "hostbased");
    add(SSH_AUTH_METHOD_GSSAPI_MIC, "gssapi-with-mic");
    return names.empty() ? "none" : names;
}

// libssh's question for a key file's passphrase: the answer is copied from
// the handler's own string straight into libssh's buffer.
int AuthCallback(const char* /*prompt*/, char* buf, size_t len, int /*echo*/, int /*verify*/, void* userdata)
{
    auto* ask = static_cast<std::function<bool(char*, size_t)>*>(userdata);
    return (*ask)(buf, len) ? 0 : -1;
}

} // namespace

// Asks OnPassphrase on the calling thread and waits for the answer (or a
// stop), which is copied into out with its terminating zero. Called on the
// worker thread. False when the key is to be skipped.
bool SftpSession::AskPassphrase(const std::string& keyFile, char* out, size_t size)
{
    Impl& d = *FImpl;
    if (!OnPassphrase || d.Context == nullptr)
        return false;
    // The handler writes into Text itself, so the passphrase is never
    // copied or moved between strings; whichever thread lets go of the
    // answer last wipes it (a stopped wait leaves it to the handler's side).
    struct Answer {
        bool Done = false;
        bool Given = false;
        std::string Text;
        Answer() = default;
        Answer(const Answer&) = delete;
        Answer& operator=(const Answer&) = delete;
        ~Answer() { WipeSecret(Text); }
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        d.Context,
        [this, answer, keyFile] {
            Impl& d = *FImpl;
            d.PauseSilence();
            const bool given = !d.Stopped && OnPassphrase(keyFile, answer->Text);
            d.ResumeSilence(TimeOut);
            if (!given)
                WipeSecret(answer->Text);
            std::lock_guard<std::mutex> lock(d.AskMutex);
            answer->Given = given;
            answer->Done = true;
            d.AskCv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(d.AskMutex);
    d.AskCv.wait(lock, [&] { return answer->Done || d.Stopped || d.TimedOut; });
    const std::string& text = answer->Text;
    const bool usable = answer->Done && answer->Given && !text.empty() && text.size() < size;
    if (usable)
        std::memcpy(out, text.c_str(), text.size() + 1);
    if (answer->Done)
        WipeSecret(answer->Text);
    return usable;
}

void SftpSession::Login()
{
    Impl& d = *FImpl;
    if (!FConnected || !d.Ssh)
        throw ESftpError("Not connected");
    ssh_session s = d.Ssh.get();
    const std::string user = OptionText(s, SSH_OPTIONS_USER);
    std::function<bool(char*, size_t)> ask = [&](char* out, size_t size) {
        char* file = nullptr;
        std::string name;
        if (ssh_userauth_publickey_auto_get_current_identity(s, &file) == SSH_OK && file != nullptr) {
            name = file;
            ssh_string_free_char(file);
        }
        // The silence rule is paused while the user answers and restarts
        // when the answer comes.
        const bool given = AskPassphrase(name, out, size);
        Bump();
        return given;
    };
    d.Callbacks = ssh_callbacks_struct{};
    d.Callbacks.userdata = &ask;
    d.Callbacks.auth_function = AuthCallback;
    ssh_callbacks_init(&d.Callbacks);

    // Password, then keyboard-interactive with the same password. Runs on
    // the worker thread.
    const auto passwordAuth = [&](const char* password, int methods) {
        int rc = SSH_AUTH_DENIED;
        if (methods & SSH_AUTH_METHOD_PASSWORD) {
            rc = ssh_userauth_password(s, nullptr, password);
            Bump();
        }
        if (rc != SSH_AUTH_SUCCESS && rc != SSH_AUTH_ERROR && (methods & SSH_AUTH_METHOD_INTERACTIVE)) {
            // For a server that asks one question; rounds with no question
            // (some servers send one) are answered empty.
            rc = ssh_userauth_kbdint(s, nullptr, nullptr);
            for (int rounds = 0; rc == SSH_AUTH_INFO && rounds < 8; ++rounds) {
                Bump();
                const int prompts = ssh_userauth_kbdint_getnprompts(s);
                if (prompts > 1) {
                    rc = SSH_AUTH_DENIED;
                    break;
                }
                if (prompts == 1 && ssh_userauth_kbdint_setanswer(s, 0, password) < 0)
                    ThrowLibsshError("Authentication failed");
                rc = ssh_userauth_kbdint(s, nullptr, nullptr);
            }
        }
        return rc;
    };
    constexpr int passwordMethods = SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE;
    int methods = 0;
    bool askPassword = false;
    const auto settle = [&](int rc) {
        if (rc == SSH_AUTH_ERROR)
            ThrowLibsshError("Authentication failed");
        if (rc != SSH_AUTH_SUCCESS)
            throw ESftpError("Access denied for " + user + " (the server offers: " + MethodNames(methods) +
                             ")");
        Bump();
        OpenSftp();
    };

    try {
        Run([&] {
            int rc = ssh_userauth_none(s, nullptr);
            if (rc == SSH_AUTH_ERROR)
                ThrowLibsshError("Authentication failed");
            Bump();
            methods = ssh_userauth_list(s, nullptr);
            if (rc != SSH_AUTH_SUCCESS && !Password.empty()) {
                rc = passwordAuth(Password.c_str(), methods);
            } else if (rc != SSH_AUTH_SUCCESS) {
                if (ssh_set_callbacks(s, &d.Callbacks) != SSH_OK)
                    ThrowLibsshError("Authentication failed");
                // The agent first (SSH_AUTH_SOCK), then the config's
                // IdentityFile, then ~/.ssh/id_ed25519, id_ecdsa, id_rsa.
                rc = ssh_userauth_publickey_auto(s, nullptr, nullptr);
                // Refused: the password is asked for on the calling thread.
                if (rc == SSH_AUTH_DENIED && OnPasswordNeeded && (methods & passwordMethods)) {
                    askPassword = true;
                    return;
                }
            }
            settle(rc);
        });
        for (int attempt = 1; askPassword; ++attempt) {
            std::string password;
            if (d.Stopped || !OnPasswordNeeded(attempt > 1, password)) {
                // Not given: ends as a stop does, nothing sent.
                WipeSecret(password);
                Stop();
                throw EAbortError(CanceledText);
            }
            const auto wipe = qScopeGuard([&] { WipeSecret(password); });
            Run([&] {
                const int rc = passwordAuth(password.c_str(), methods);
                if (rc == SSH_AUTH_DENIED && attempt < PasswordAsks)
                    return;
                askPassword = false;
                settle(rc);
            });
        }
    } catch (...) {
        ssh_set_callbacks(s, nullptr);
        throw;
    }
    FLoggedIn = true;
}

// Opens the SFTP channel. Runs on the worker thread.
void SftpSession::OpenSftp()
{
    Impl& d = *FImpl;
    d.Sftp.reset(sftp_new(d.Ssh.get()));
    if (!d.Sftp)
        ThrowLibsshError("Cannot open the SFTP channel");
    if (sftp_init(d.Sftp.get()) != SSH_OK) {
        d.Sftp.reset();
        ThrowLibsshError("The server refused SFTP");
    }
}
