#include "fetch/SftpSource.h"

#include "sftp/SftpRefresh.h"

#include <QScopeGuard>

SftpSource::SftpSource()
{
    // The questions are the source's: whoever sets the source's callbacks
    // answers them, also when they are set after this.
    FSession.OnUnknownHostKey = [this](const HostKeyInfo& key) {
        return OnUnknownHostKey ? OnUnknownHostKey(key) : HostKeyDecision::Cancel;
    };
    FSession.OnPassphrase = [this](const std::string& keyFile, std::string& passphrase) {
        return OnPassphrase ? OnPassphrase(keyFile, passphrase) : false;
    };
    FSession.OnProgress = [this](int64_t done, int64_t total) {
        if (!FTransferStarted) {
            FTransferStarted = true;
            if (OnTransferStarted)
                OnTransferStarted(total);
        }
        if (OnReceived)
            OnReceived(done);
    };
}

SftpSource::~SftpSource() = default;

bool SftpSource::IsOpen() const
{
    return FSession.LoggedIn();
}

void SftpSource::Open(const HostProfile& profile)
{
    FSession.Disconnect();
    FSession.Host = profile.Host;
    // An empty port field leaves the port to ~/.ssh/config, else 22.
    FSession.Port = profile.PortGiven ? profile.Port : 0;
    FSession.UserID = profile.User;
    FSession.Password = profile.Password;
    FSession.PinnedKey = profile.PinnedKey;
    // Only a profile without its password asks for one.
    bool asked = false;
    FSession.OnPasswordNeeded = nullptr;
    if (profile.Password.empty() && OnPasswordNeeded)
        FSession.OnPasswordNeeded = [this, &asked, &profile](bool refused, std::string& password) {
            asked = true;
            return OnPasswordNeeded(profile, refused, password);
        };
    const auto withdraw = qScopeGuard([this] { FSession.OnPasswordNeeded = nullptr; });
    try {
        EnterStep(FetchStep::Connect);
        FSession.Connect();
        EnterStep(FetchStep::LogIn);
        FSession.Login();
        if (asked && OnPasswordAccepted)
            OnPasswordAccepted(profile);
    } catch (...) {
        FSession.Disconnect();
        throw;
    }
}

void SftpSource::Download(const std::string& remoteDir, const std::string& remoteName,
                          const std::string& localPath)
{
    EnterStep(FetchStep::Download);
    if (!IsOpen())
        throw Exception("Not Connected");
    FTransferStarted = false;
    // The session fetches into a temporary file beside localPath and
    // renames it into place only when the whole file has come.
    FSession.Download(remoteDir + remoteName, localPath);
}

RefreshResult SftpSource::Refresh(const std::string& remoteDir, const std::string& remoteName,
                                  const std::string& localPath, FollowCopyState& state)
{
    EnterStep(FetchStep::Download);
    if (!IsOpen())
        throw Exception("Not Connected");
    FTransferStarted = false;
    return RefreshLocalCopy(FSession, remoteDir + remoteName, localPath, state);
}

void SftpSource::Stop()
{
    FSession.Stop();
}

void SftpSource::Close(bool quickly)
{
    // SFTP has no goodbye worth waiting for: closing the channel and the
    // connection is the same either way.
    if (FSession.Connected() && !quickly)
        EnterStep(FetchStep::LogOut);
    FSession.Disconnect();
}

void SftpSource::Forget()
{
    // The connection is this source's alone.
    FSession.Disconnect();
}
