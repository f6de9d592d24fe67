// Brings a local copy of a growing remote file up to date by fetching only
// the bytes it lacks: SIZE, then REST at a point a little before the copy's
// end and RETR; the bytes received before the copy's end must equal the
// copy's own, else the file was rotated or rewritten and is fetched whole.
// Everything is received into a temporary file beside the copy and checked
// before the copy is touched, so a failed refresh leaves the copy as it was.
#pragma once

#include "localcopy/LocalCopy.h"

#include <cstdint>
#include <optional>
#include <string>

class TKZFTP;

// Makes localPath byte-identical to remoteName (relative to the server's
// current directory) over ftp, which must be logged in with the image type
// selected; state carries what the previous refresh found. A server that
// refuses SIZE or REST gets a whole fetch; MDTM is used where it answers.
// Waits (event loop). Throws the FTP component's failures, Exception for
// local file errors and for a whole fetch that ended short; the copy and
// state are unchanged whenever it throws.
RefreshResult RefreshLocalCopy(TKZFTP& ftp, const std::string& remoteName, const std::string& localPath,
                               FollowCopyState& state);

// The size from a "213 <digits>" SIZE reply; nullopt for any other reply.
// Does not throw.
std::optional<int64_t> SizeFromSizeReply(int64_t replyNumber, const std::string& reply);
