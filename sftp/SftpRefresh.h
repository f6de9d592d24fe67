// Brings a local copy of a growing remote file up to date over SFTP by
// fetching only what it lacks: the file's attributes (size, modification
// time), then a read from a little before the copy's end; the bytes read
// before the copy's end must equal the copy's own, else the file was rotated
// or rewritten and is fetched whole. The same rules as the FTP refresh
// (ftp/IncrementalFetch.h); both keep the state and result types of
// localcopy/, so the Follow command keeps one state whichever protocol a
// profile uses.
#pragma once

#include "localcopy/LocalCopy.h"

#include <string>

class SftpSession;

// Makes localPath byte-identical to remotePath over session, which must be
// logged in; state carries what the previous refresh found (RemoteTime
// holds the size and modification time). Received bytes go to a temporary
// file beside the copy and are checked before the copy is touched. Waits.
// Throws the session's failures and Exception for local files; the copy
// and state are unchanged whenever it throws.
RefreshResult RefreshLocalCopy(SftpSession& session, const std::string& remotePath, const std::string& localPath,
                               FollowCopyState& state);
