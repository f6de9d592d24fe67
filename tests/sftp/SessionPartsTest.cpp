// Parts of the session that need no server: wiping a passphrase's buffers
// and the tokens of a proxy command.
#include "sftp/SftpError.h"
#include "sftp/SshProxy.h"
#include "sock/SecretText.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// Every byte a string's buffer holds, also past its text.
bool AllZero(const std::string& text)
{
    for (size_t i = 0; i <= text.capacity(); ++i)
        if (text.data()[i] != '\0')
            return false;
    return true;
}

TEST(WipeSecret, OverwritesTheWholeBufferAlsoOfAStringMovedFrom)
{
    // A short passphrase lives in the string's inline buffer, and a move
    // copies it out of there, leaving the characters behind.
    std::string typed = "kagi";
    std::string taken = std::move(typed);
    // A long one shortened keeps its tail in the heap buffer.
    std::string shortened(40, 'x');
    shortened.resize(3);
    for (std::string* text : {&typed, &taken, &shortened}) {
        WipeSecret(*text);
        EXPECT_TRUE(text->empty());
        EXPECT_TRUE(AllZero(*text));
    }
}

TEST(ExpandProxyCommand, TokensAndNamesAShellWouldMisread)
{
    ProxyTokens t;
    t.Host = "logs.example";
    t.GivenHost = "logs";
    t.Port = 2222;
    t.User = "taro";
    t.SshDir = "/home/taro/.ssh";
    t.LocalUser = "me";
    EXPECT_EQ(ExpandProxyCommand("ssh -W '[%h]:%p' -l %r jump # %n %u %d 100%%", t),
              "ssh -W '[logs.example]:2222' -l taro jump # logs me /home/taro/.ssh 100%");

    for (const char* command : {"nc %h %C", "nc %h %"})
        EXPECT_THROW(ExpandProxyCommand(command, t), ESftpError) << command;
    for (const char* user : {"a b", "a;b", "$(id)", "`id`", "-oProxy", "a|b", "a'b", ""}) {
        t.User = user;
        EXPECT_THROW(ExpandProxyCommand("nc %h %p # %r", t), ESftpError) << user;
        EXPECT_NO_THROW(ExpandProxyCommand("nc %h %p", t)) << "only the names used are checked";
    }
}

} // namespace
