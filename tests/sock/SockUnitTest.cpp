// The error-text table, the errno mapping and NthField.
#include "sock/ErrorText.h"
#include "sock/NthField.h"
#include "sock/SockApi.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(ErrorText, KnownUnknownAndZero)
{
    EXPECT_EQ(WinsockErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(WinsockErrorText(10004), "10004:Interrupted system call");
    EXPECT_EQ(WinsockErrorText(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(WinsockErrorText(12345), "Unknown Error No. 12345");
    EXPECT_EQ(WinsockErrorText(10072), "Unknown Error No. 10072");
    EXPECT_EQ(WinsockErrorText(0), "");
}

TEST(ErrorText, PosixErrorsMapToTheTableNumbers)
{
    struct Case {
        int error;
        int number;
    };
    const Case cases[] = {
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035},      {EINPROGRESS, 10036}, {ECONNREFUSED, 10061},
        {ENOTCONN, 10057},    {ECONNRESET, 10054},  {EADDRINUSE, 10048},  {ETIMEDOUT, 10060},
        {EBADF, 10009},       {EPIPE, 10058},       {EHOSTUNREACH, 10065}, {0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SockApi::MapErrno(c.error), c.number) << c.error;
    // Anything outside the table still raises (above 10000) and names itself.
    int unknown = SockApi::MapErrno(EIO);
    EXPECT_GT(unknown, 10000);
    EXPECT_EQ(WinsockErrorText(unknown), "Unknown Error No. " + std::to_string(unknown));
}

std::string Field(const std::string& text, char separator, int n)
{
    std::string field = "stale";
    NthField(text, separator, n, field);
    return field;
}

TEST(NthField, FieldsEmptyFieldsAndRanges)
{
    const std::string pasv = "227 Entering Passive Mode (192,168,0,9,19,137).\r\n";
    EXPECT_EQ(Field(pasv, ',', 1), "227 Entering Passive Mode (192");
    EXPECT_EQ(Field(pasv, ',', 5), "19");
    EXPECT_EQ(Field(pasv, ',', 6), "137).\r\n");
    EXPECT_EQ(Field(pasv, ',', 7), "");
    EXPECT_EQ(Field("RETR file name", ' ', 1), "RETR");
    EXPECT_EQ(Field("no separator", ',', 1), "no separator");
    EXPECT_EQ(Field("no separator", ',', 2), "");
    EXPECT_EQ(Field("a,,c", ',', 2), "");
    EXPECT_EQ(Field("a,,c", ',', 3), "c");
    EXPECT_EQ(Field(",a", ',', 1), "");
    EXPECT_EQ(Field("a,", ',', 2), "");
    EXPECT_EQ(Field("a,b", ',', 0), "");
    EXPECT_EQ(Field("a,b", ',', -1), "");
    EXPECT_EQ(Field("", ',', 1), "");
}

} // namespace
