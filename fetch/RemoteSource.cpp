#include "fetch/RemoteSource.h"

#include "fetch/FtpSource.h"
#include "fetch/SftpSource.h"
#include "ftp/TKZFTP.h"

void RemoteSource::EnterStep(FetchStep step)
{
    FStep = step;
    if (OnStep)
        OnStep(step);
}

std::unique_ptr<RemoteSource> MakeRemoteSource(const HostProfile& profile, TKZFTP& ftp)
{
    if (profile.Protocol == RemoteProtocol::Sftp) {
        auto source = std::make_unique<SftpSource>();
        if (ftp.TimeOut > 0)
            source->Session().TimeOut = ftp.TimeOut;
        return source;
    }
    return std::make_unique<FtpSource>(ftp);
}
