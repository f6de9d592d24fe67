// The order a log-in's password is looked for in (this run's memory, the
// keyring, the user) and when a typed one is kept.
#include "keyring/PasswordSource.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

namespace {

class FakeKeyring : public PasswordStore {
public:
    StoreAnswer Read(const std::string& entry, std::string& password) override
    {
        ++Reads;
        if (DuringRead)
            DuringRead();
        if (!Present)
            return StoreAnswer::NoKeyring;
        const auto found = Entries.find(entry);
        if (found == Entries.end())
            return StoreAnswer::NotFound;
        password = found->second;
        return StoreAnswer::Done;
    }
    StoreAnswer Write(const std::string& entry, const std::string& password) override
    {
        ++Writes;
        if (!Present)
            return StoreAnswer::NoKeyring;
        Entries[entry] = password;
        return StoreAnswer::Done;
    }
    bool Present = true;
    std::function<void()> DuringRead; // what happens while the keyring is awaited
    int Reads = 0;
    int Writes = 0;
    std::map<std::string, std::string> Entries;
};

// Answers each question with the next of Answers ("" after them: cancel).
struct User {
    explicit User(PasswordSource& source)
    {
        source.OnAsk = [this](const PasswordQuestion& question, std::string& password, bool& save) {
            Questions.push_back(question);
            SaveOffered.push_back(save);
            if (Answers.empty())
                return false;
            password = Answers.front();
            Answers.erase(Answers.begin());
            save = true;
            return true;
        };
    }
    std::vector<std::string> Answers;
    std::vector<PasswordQuestion> Questions;
    std::vector<bool> SaveOffered;
};

PasswordRequest Request()
{
    HostProfile profile;
    profile.Label = "本番";
    profile.Host = "logs.example";
    profile.User = "ope";
    profile.Protocol = RemoteProtocol::Sftp;
    return MakePasswordRequest(profile, false);
}

} // namespace

TEST(PasswordSource, AStoredPasswordRefusedIsAskedAgainAndReplacedOnlyAfterSuccess)
{
    FakeKeyring keyring;
    const PasswordRequest request = Request();
    ASSERT_EQ(request.Entry, "sftp://ope@logs.example:22");
    keyring.Entries[request.Entry] = "old";
    PasswordSource source(keyring);
    User user(source);
    user.Answers = {"new"};

    std::string password;
    ASSERT_TRUE(source.Password(request, false, password));
    EXPECT_EQ(password, "old");
    EXPECT_TRUE(user.Questions.empty()) << "the keyring answered";

    ASSERT_TRUE(source.Password(request, true, password));
    EXPECT_EQ(password, "new");
    ASSERT_EQ(user.Questions.size(), 1u);
    EXPECT_TRUE(user.Questions[0].Refused);
    EXPECT_TRUE(user.Questions[0].Keyring);
    EXPECT_TRUE(user.SaveOffered[0]) << "checked when a keyring answers";
    EXPECT_EQ(user.Questions[0].Request.Profile, "本番");
    EXPECT_EQ(keyring.Entries[request.Entry], "old") << "not replaced before the log-in succeeded";

    source.Accepted(request);
    EXPECT_EQ(keyring.Entries[request.Entry], "new");
    // Cancelled: nothing given.
    ASSERT_FALSE(source.Password(request, true, password));
    EXPECT_TRUE(password.empty());
    EXPECT_EQ(keyring.Entries[request.Entry], "new");
}

TEST(PasswordSource, AStopWhileTheKeyringIsAwaitedAsksNothing)
{
    FakeKeyring keyring;
    PasswordSource source(keyring);
    User user(source);
    user.Answers = {"typed"};
    keyring.DuringRead = [&] { source.Stop(); };
    std::string password;
    EXPECT_FALSE(source.Password(Request(), false, password));
    EXPECT_TRUE(user.Questions.empty());
    // The next log-in is a new one.
    keyring.DuringRead = nullptr;
    EXPECT_TRUE(source.Password(Request(), false, password));
    EXPECT_EQ(password, "typed");
}
