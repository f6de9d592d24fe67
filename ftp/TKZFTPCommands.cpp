// TKZFTP: commands with one reply and the transfer type.
#include "ftp/TKZFTP.h"

TCmdType TKZFTP::CommandType(const std::string& command)
{
    std::string firstWord;
    NthField(command, ' ', 1, firstWord);
    const std::string word = firstWord + " ";
    if (word == "CWD ")
        return ctChangeDir;
    if (word == "DELE ")
        return ctDelete;
    if (word == "MKD ")
        return ctMakeDir;
    if (word == "RMD ")
        return ctRemoveDir;
    if (command == "PWD")
        return ctPrintDir;
    return ctOther;
}

// A refused reply: OnUnSupportedFunction first (codes 500 to 502, when
// unsupported is true), then OnFailure, which may take the failure by
// setting Handled; otherwise FTPException with the reply line.
void TKZFTP::FailureReport(const std::string& line, TCmdType type, bool unsupported)
{
    const int64_t code = ReplyNumber();
    if (unsupported && code >= 500 && code <= 502 && OnUnSupportedFunction)
        OnUnSupportedFunction(type);
    if (!OnFailure)
        throw FTPException(line);
    bool handled = false;
    OnFailure(handled, type);
    if (!handled)
        throw FTPException(line);
}

void TKZFTP::SendCommand(const std::string& command)
{
    const TCmdType type = CommandType(command);
    FCanceled = false;
    CheckConnection();
    ReportStatus(1, command);
    // Left-overs such as the final reply of an interrupted transfer must not
    // pass for this command's reply.
    DropStaleInput();
    std::string reply;
    Transaction(command, reply);
    const int64_t code = ReplyNumber();
    if (code >= 400 && code <= 599) {
        FailureReport(reply, type, true);
        return;
    }
    if (OnSuccess)
        OnSuccess(type);
}

void TKZFTP::ChangeWorkingDir(const std::string& directory)
{
    SendCommand("CWD " + directory);
}

void TKZFTP::SetTransferType(int transferType)
{
    switch (transferType) {
    case 1: SendCommand("TYPE A"); break;
    case 2: SendCommand("TYPE I"); break;
    case 3: SendCommand("TYPE L 8"); break;
    default: break;
    }
}
