#include "fetch/ApplyHostProfile.h"

#include "ftp/TKZFTP.h"

void ApplyHostProfile(TKZFTP& ftp, const HostProfile& profile)
{
    ftp.Host = profile.Host;
    ftp.UserID = profile.User;
    ftp.Password = profile.Password;
    ftp.Passive = profile.PassiveFlag == "1";
    ftp.Port = profile.Port;
    ftp.Security = profile.Tls;
}
