// RemoteSource: "a remote file" as the fetch and Follow commands reach it,
// whatever the profile's protocol. One session at a time: Open connects and
// logs in with every field of the profile as it is then, Download fetches a
// whole file, Refresh brings Follow's local copy up to date, Stop ends the
// wait in progress, Close ends the session. FtpSource and SftpSource
// implement it; MakeRemoteSource picks one from the profile.
//
//     std::unique_ptr<RemoteSource> source = MakeRemoteSource(profile, *KZFTP1);
//     source->OnStep = [&](FetchStep s) { ... };                 // 接続, ログイン, ...
//     source->OnUnknownHostKey = [&](const HostKeyInfo& k) { ... };  // SFTP only
//     try {
//         source->Open(profile);
//         source->Download(directory, fileName, fileName);
//         source->Close(false);
//     } catch (...) {
//         outcome.NoteFailure(source->Step(), CurrentFailureText());
//         source->Close(true);
//     }
//
// Every call that talks to the server waits with the event loop running, so
// the window stays live and Stop() from an event handler is heard. A failure
// is thrown as the layer below threw it (EAbortError for a stop or time-out);
// Step() names the step it happened in. Questions (an unknown host key, a
// key file's passphrase) go out through the callbacks; no widget is known here.
#pragma once

#include "fetch/FetchOutcome.h"
#include "ftp/IncrementalFetch.h"
#include "profiles/HostProfile.h"
#include "sftp/SftpSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TKZFTP;

class RemoteSource {
public:
    virtual ~RemoteSource() = default;

    // The step about to run: Connect, LogIn, ChangeDir, TransferType,
    // Download, LogOut (the FTP steps an SFTP session does not need are not
    // reported).
    std::function<void(FetchStep step)> OnStep;
    // A download's data begins; size is the file's size, 0 when unknown.
    std::function<void(int64_t size)> OnTransferStarted;
    // Bytes of the running download received so far.
    std::function<void(int64_t bytes)> OnReceived;
    // SFTP: a host key that no known-hosts file lists; no handler cancels.
    // A changed key never gets here: it is refused.
    std::function<HostKeyDecision(const HostKeyInfo& key)> OnUnknownHostKey;
    // SFTP: the passphrase of an encrypted key file; false skips the key.
    // The answer is used once and never kept.
    std::function<bool(const std::string& keyFile, std::string& passphrase)> OnPassphrase;

    // A log-in needs the password the profile leaves empty (FTP: a 331 for
    // a user other than anonymous; SFTP: the agent and key files refused,
    // a password offered). refused: the server refused the previous answer.
    // False cancels: the log-in ends as a stop does, nothing sent. Without
    // a handler the empty password is used, as the profile says.
    std::function<bool(const HostProfile& profile, bool refused, std::string& password)> OnPasswordNeeded;
    // The log-in that asked OnPasswordNeeded succeeded with its last answer.
    std::function<void(const HostProfile& profile)> OnPasswordAccepted;

    // The step that runs, or that failed when a call threw. Does not throw.
    FetchStep Step() const { return FStep; }

    // Ends any session left open (without waiting for the server), then
    // connects and logs in with profile's host, port, user, password and
    // security. Waits. Throws the failure of the connection or the log-in;
    // the source is then closed.
    virtual void Open(const HostProfile& profile) = 0;
    // Fetches remoteDir + remoteName whole into localPath through a
    // temporary file beside it, renamed into place only on success: a
    // failed or stopped download keeps the older copy. remoteDir is "" or
    // ends in '/'; a relative one starts at the log-in directory. Waits.
    // Throws Exception "Not Connected" when not open, the layer's failures,
    // Exception for local files.
    virtual void Download(const std::string& remoteDir, const std::string& remoteName,
                          const std::string& localPath) = 0;
    // Makes localPath byte-identical to remoteDir + remoteName by fetching
    // only what the copy lacks where it can (state: what the previous
    // refresh found). Waits. Throws as Download; the copy and state are
    // unchanged whenever it throws.
    virtual RefreshResult Refresh(const std::string& remoteDir, const std::string& remoteName,
                                  const std::string& localPath, FollowCopyState& state) = 0;
    // Ends the wait in progress (or the next one) at once; the session is
    // then out of step and is closed. Does not wait or throw.
    virtual void Stop() = 0;
    // Ends the session: quickly closes it without a word to the server,
    // otherwise it logs out first (FTP's QUIT) and then waits. Nothing when
    // not open. Throws only when not quick, after closing (a refused QUIT).
    virtual void Close(bool quickly) = 0;
    // True while a logged-in session stands. Does not throw.
    virtual bool IsOpen() const = 0;
    // Lets go of the session without a word to the server and without
    // touching a connection it shares with another user of the same
    // component, who may have taken it over; a connection of its own is
    // closed. Does not wait or throw.
    virtual void Forget() = 0;
    // The protocol's short name for the progress texts ("FTP", "SFTP").
    virtual const char* Name() const = 0;

protected:
    void EnterStep(FetchStep step);

private:
    FetchStep FStep = FetchStep::Connect;
};

// The source for profile's protocol: an FtpSource over ftp (the window's
// one FTP component) or an SftpSource of its own, which takes ftp's
// time-out so both protocols give up after the same silence. Does not wait
// or throw.
std::unique_ptr<RemoteSource> MakeRemoteSource(const HostProfile& profile, TKZFTP& ftp);
