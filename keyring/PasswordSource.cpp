#include "keyring/PasswordSource.h"

#include "codec/HostText.h"
#include "sock/SecretText.h"

namespace {

std::string Utf8(const std::string& bytes, bool shiftJis)
{
    return HostTextToQString(bytes, shiftJis).toStdString();
}

} // namespace

std::string PasswordEntryName(const HostProfile& profile, bool shiftJis)
{
    const bool sftp = profile.Protocol == RemoteProtocol::Sftp;
    const int port = sftp && !profile.PortGiven ? HostProfile::DefaultSftpPort : profile.Port;
    return std::string(sftp ? "sftp" : "ftp") + "://" + Utf8(profile.User, shiftJis) + "@" +
        Utf8(profile.Host, shiftJis) + ":" + std::to_string(port);
}

PasswordRequest MakePasswordRequest(const HostProfile& profile, bool shiftJis)
{
    PasswordRequest request;
    request.Entry = PasswordEntryName(profile, shiftJis);
    request.Profile = Utf8(profile.Label, shiftJis);
    request.User = Utf8(profile.User, shiftJis);
    request.Host = Utf8(profile.Host, shiftJis);
    return request;
}

PasswordSource::~PasswordSource() { Forget(); }

void PasswordSource::Forget()
{
    WipeSecret(FPassword);
    FEntry.clear();
    FSave = false;
}

bool PasswordSource::Password(const PasswordRequest& request, bool refused, std::string& password)
{
    WipeSecret(password);
    Forget();
    FStopped = false;
    FEntry = request.Entry;
    if (refused) {
        // A remembered password that no longer works is not offered again
        // this run; the keyring's entry stays until a new one is accepted.
        FMemory.Remove(request.Entry);
    } else {
        if (FMemory.Read(request.Entry, password) == StoreAnswer::Done) {
            FOrigin = Origin::Memory;
            return true;
        }
        const StoreAnswer answer = FKeyring.Read(request.Entry, password);
        if (FStopped) {
            WipeSecret(password);
            return false;
        }
        FKeyringAnswers = answer != StoreAnswer::NoKeyring;
        if (answer == StoreAnswer::Done) {
            FOrigin = Origin::Keyring;
            return true;
        }
    }
    if (!OnAsk)
        return false;
    PasswordQuestion question;
    question.Request = request;
    question.Refused = refused;
    question.Keyring = FKeyringAnswers;
    bool save = FKeyringAnswers;
    if (!OnAsk(question, password, save)) {
        WipeSecret(password);
        return false;
    }
    FOrigin = Origin::User;
    FSave = save && FKeyringAnswers;
    FPassword = password;
    return true;
}

void PasswordSource::Stop()
{
    FStopped = true;
    FKeyring.Abandon();
}

void PasswordSource::Accepted(const PasswordRequest& request)
{
    if (request.Entry == FEntry && FOrigin == Origin::User) {
        if (FSave)
            FKeyringAnswers = FKeyring.Write(request.Entry, FPassword) == StoreAnswer::Done;
        FMemory.Write(request.Entry, FPassword);
    }
    Forget();
}
