#include "fetch/FtpSource.h"

#include "fetch/FetchTrace.h"
#include "ftp/TKZFTP.h"
#include "sock/PartFile.h"

#include <QScopeGuard>

class FtpSource::ProgressHook {
public:
    explicit ProgressHook(FtpSource& source)
        : FFtp(source.FFtp), FOldStart(FFtp.OnTransactionStart), FOldPacket(FFtp.OnPacketRecvd)
    {
        FFtp.OnTransactionStart = [this, &source](QObject* sender) {
            if (FOldStart)
                FOldStart(sender);
            if (source.OnTransferStarted)
                source.OnTransferStarted(FFtp.TransferSize());
        };
        // The data connection calls this after every chunk it has written.
        FFtp.OnPacketRecvd = [this, &source](QObject* sender) {
            if (FOldPacket)
                FOldPacket(sender);
            if (source.OnReceived)
                source.OnReceived(static_cast<TKZSock*>(sender)->BytesRecvd());
        };
    }
    ~ProgressHook()
    {
        FFtp.OnTransactionStart = FOldStart;
        FFtp.OnPacketRecvd = FOldPacket;
    }
    ProgressHook(const ProgressHook&) = delete;
    ProgressHook& operator=(const ProgressHook&) = delete;

private:
    TKZFTP& FFtp;
    TNotifyEvent FOldStart;
    TNotifyEvent FOldPacket;
};

FtpSource::~FtpSource()
{
    try {
        Close(true);
    } catch (...) {
    }
}

bool FtpSource::IsOpen() const
{
    return FOpen && FFtp.Connected();
}

void FtpSource::Open(const HostProfile& profile)
{
    // Every session starts from the log-in directory, whatever an earlier
    // one left.
    Close(true);
    FProfile = profile;
    FFtp.Host = profile.Host;
    FFtp.UserID = profile.User;
    FFtp.Password = profile.Password;
    FFtp.Passive = profile.PassiveFlag == "1";
    FFtp.Port = profile.Port;
    FFtp.Security = profile.Tls;

    // Only a profile without its password asks for one; the component is
    // the window's, so the question is withdrawn again after the log-in.
    bool asked = false;
    if (profile.Password.empty() && !IsAnonymousLogin(profile) && OnPasswordNeeded)
        FFtp.OnPasswordNeeded = [this, &asked](bool refused, std::string& password) {
            asked = true;
            return OnPasswordNeeded(FProfile, refused, password);
        };
    const auto withdraw = qScopeGuard([this] { FFtp.OnPasswordNeeded = nullptr; });

    EnterStep(FetchStep::Connect);
    FetchTrace trace(FFtp);
    trace.OnLogInStarted = [this] { EnterStep(FetchStep::LogIn); };
    try {
        FFtp.Connect();
        if (asked && OnPasswordAccepted)
            OnPasswordAccepted(FProfile);
    } catch (...) {
        // The component's exception may carry a later failure than the one
        // that ended the log-in (the log-out after a refused password, or
        // "Null Remote Address" after a failed look-up).
        if (FFtp.Connected())
            FFtp.TKZSock::Disconnect();
        if (!trace.FirstFailure().empty() && !FFtp.Stopped())
            throw Exception(trace.FirstFailure());
        throw;
    }
    FOpen = true;
}

void FtpSource::Prepare(const std::string& remoteDir)
{
    if (!IsOpen()) {
        EnterStep(FetchStep::TransferType);
        throw Exception("Not Connected");
    }
    // A relative directory is taken from where the session stands: one
    // that has changed to another directory starts again from the log-in
    // directory.
    if (FInDirectory && remoteDir != FDirectory && (remoteDir.empty() || remoteDir[0] != '/')) {
        Close(false);
        Open(FProfile);
    }
    if (!FInDirectory || remoteDir != FDirectory) {
        EnterStep(FetchStep::ChangeDir);
        try {
            FFtp.ChangeWorkingDir(remoteDir);
            FInDirectory = true;
            FDirectory = remoteDir;
        } catch (...) {
            // An empty directory asks for the log-in directory, where the
            // file is looked for anyway; any other directory must be
            // reached, or the file of that name elsewhere would be fetched
            // as the one asked for.
            if (!remoteDir.empty())
                throw;
            FInDirectory = true;
            FDirectory.clear();
        }
    }
    if (!FImageType) {
        EnterStep(FetchStep::TransferType);
        FFtp.SetTransferType(2);
        FImageType = true;
    }
}

void FtpSource::Download(const std::string& remoteDir, const std::string& remoteName,
                         const std::string& localPath)
{
    Prepare(remoteDir);
    EnterStep(FetchStep::Download);
    // The data goes into a file of its own beside the local copy, which is
    // replaced in one rename only once the server has confirmed the end and
    // every announced byte is there (RetrieveFile fails a short count or a
    // protected connection cut without its TLS closure): a download that
    // fails or is stopped halfway never costs the older copy, and no half
    // file is shown as the log. The part file goes away on every other path.
    PartFile part(localPath);
    {
        const ProgressHook hook(*this);
        FFtp.RetrieveFile(remoteName, part.Path());
    }
    if (FFtp.Stopped())
        return;
    part.Commit();
}

RefreshResult FtpSource::Refresh(const std::string& remoteDir, const std::string& remoteName,
                                 const std::string& localPath, FollowCopyState& state)
{
    Prepare(remoteDir);
    EnterStep(FetchStep::Download);
    const ProgressHook hook(*this);
    return RefreshLocalCopy(FFtp, remoteName, localPath, state);
}

void FtpSource::Stop()
{
    FFtp.Stop();
}

void FtpSource::Close(bool quickly)
{
    const bool open = FOpen;
    FOpen = false;
    FInDirectory = false;
    FDirectory.clear();
    FImageType = false;
    if (!open || !FFtp.Connected())
        return;
    // A stopped session is out of step: closed without QUIT.
    if (quickly || FFtp.Stopped()) {
        FFtp.TKZSock::Disconnect();
        return;
    }
    EnterStep(FetchStep::LogOut);
    // Closes the connection even when the log-out is refused.
    FFtp.Disconnect();
}

void FtpSource::Forget()
{
    // The component is the window's: a fetch that took it over owns
    // whatever connection it holds now.
    FOpen = false;
    FInDirectory = false;
    FDirectory.clear();
    FImageType = false;
}
