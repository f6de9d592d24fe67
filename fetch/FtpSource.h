// FtpSource: RemoteSource over the window's FTP component. The steps are the
// fetch command's: connect and log in, CWD to the file's directory, TYPE I,
// RETR; Follow's refresh asks SIZE/REST (ftp/IncrementalFetch.h). A session
// stays in the directory it changed to, so a Follow refresh costs no CWD.
#pragma once

#include "fetch/RemoteSource.h"

class TKZFTP;

class FtpSource : public RemoteSource {
public:
    // Uses ftp for every session; ftp's interface and its other settings
    // (time-out, proxy) stay the owner's. Does not throw.
    explicit FtpSource(TKZFTP& ftp) : FFtp(ftp) {}
    // Closes an open session without waiting. Does not throw.
    ~FtpSource() override;

    void Open(const HostProfile& profile) override;
    void Download(const std::string& remoteDir, const std::string& remoteName,
                  const std::string& localPath) override;
    RefreshResult Refresh(const std::string& remoteDir, const std::string& remoteName,
                          const std::string& localPath, FollowCopyState& state) override;
    void Stop() override;
    void Close(bool quickly) override;
    bool IsOpen() const override;
    void Forget() override;
    const char* Name() const override { return "FTP"; }

private:
    // CWD (when the session is not there yet) and TYPE I (once a session).
    void Prepare(const std::string& remoteDir);
    // Forwards the component's data-phase events to OnTransferStarted and
    // OnReceived while a transfer runs.
    class ProgressHook;

    TKZFTP& FFtp;
    HostProfile FProfile;
    bool FOpen = false;
    bool FInDirectory = false;   // a CWD has succeeded in this session
    std::string FDirectory;      // ... to this directory
    bool FImageType = false;     // TYPE I has been sent in this session
};
