#include "fetch/RemoteSource.h"

#include "fetch/FtpSource.h"
#include "fetch/SftpSource.h"

void RemoteSource::EnterStep(FetchStep step)
{
    FStep = step;
    if (OnStep)
        OnStep(step);
}

std::unique_ptr<RemoteSource> MakeRemoteSource(const HostProfile& profile, TKZFTP& ftp)
{
    if (profile.Protocol == RemoteProtocol::Sftp)
        return std::make_unique<SftpSource>();
    return std::make_unique<FtpSource>(ftp);
}
