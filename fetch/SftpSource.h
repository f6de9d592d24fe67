// SftpSource: RemoteSource over an SSH connection of its own (SftpSession).
// The profile's passive flag means nothing here; its port field, when
// empty, leaves the port to ~/.ssh/config (22 when it names none).
#pragma once

#include "fetch/RemoteSource.h"
#include "sftp/SftpSession.h"

class SftpSource : public RemoteSource {
public:
    // A source with a session not yet opened. Does not throw.
    SftpSource();
    // Ends the session. Does not throw.
    ~SftpSource() override;

    // The session, for settings the profile does not carry (TimeOut, the
    // folder of the SSH files). Its callbacks are the source's own.
    SftpSession& Session() { return FSession; }

    void Open(const HostProfile& profile) override;
    void Download(const std::string& remoteDir, const std::string& remoteName,
                  const std::string& localPath) override;
    RefreshResult Refresh(const std::string& remoteDir, const std::string& remoteName,
                          const std::string& localPath, FollowCopyState& state) override;
    void Stop() override;
    void Close(bool quickly) override;
    bool IsOpen() const override;
    void Forget() override;
    const char* Name() const override { return "SFTP"; }

private:
    SftpSession FSession;
    bool FTransferStarted = false;
};
