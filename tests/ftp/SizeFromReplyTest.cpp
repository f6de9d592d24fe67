#include "ftp/TKZFTP.h"

#include <gtest/gtest.h>

TEST(SizeFromReply, TakesTheNumberBeforeTheFirstByteInAnyCase)
{
    EXPECT_EQ(SizeFromReply("150 Opening BINARY mode data connection for log.txt (52340 bytes)\r\n"), 52340);
    EXPECT_EQ(SizeFromReply("150 Opening data connection (77 BYTES)\r\n"), 77);
    EXPECT_EQ(SizeFromReply("150 12 of 800 Bytes\r\n"), 800);
    EXPECT_EQ(SizeFromReply("125 size=42bytes\r\n"), 42);
}

TEST(SizeFromReply, NoNumberGivesZero)
{
    EXPECT_EQ(SizeFromReply("150 Opening data connection\r\n"), 0);
    EXPECT_EQ(SizeFromReply(""), 0);
    // No digit before "BYTE": the scan stops at the start of the line.
    EXPECT_EQ(SizeFromReply("bytes follow: 300\r\n"), 0);
    EXPECT_EQ(SizeFromReply("BYTE"), 0);
}

TEST(SizeFromReply, AByteInsideAFileNameTakesTheNumberBeforeIt)
{
    EXPECT_EQ(SizeFromReply("150 Opening data for mybytes.log (100 bytes)\r\n"), 150);
}

TEST(SizeFromReply, SizesOfMoreThan32BitsAndOverlongRuns)
{
    EXPECT_EQ(SizeFromReply("150 Opening (3000000000 bytes)\r\n"), 3000000000LL);
    EXPECT_EQ(SizeFromReply("150 Opening (9223372036854775807 bytes)\r\n"), INT64_MAX);
    EXPECT_EQ(SizeFromReply("150 Opening (9223372036854775808 bytes)\r\n"), 0);
    EXPECT_EQ(SizeFromReply("150 (" + std::string(300, '9') + " bytes)\r\n"), 0);
}
