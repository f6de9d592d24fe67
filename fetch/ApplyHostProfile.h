// A profile's fields put into the FTP component that a command connects with.
#pragma once

#include "profiles/HostProfile.h"

class TKZFTP;

// Sets every connection field of ftp from the profile: host, user,
// password, passive mode, port and security. Every connection a command
// opens goes through here, so nothing an earlier session left in the
// component (a plain-FTP security, another port) carries over. Does not wait
// or throw.
void ApplyHostProfile(TKZFTP& ftp, const HostProfile& profile);
