#include "app/ErrorReport.h"

#include <gtest/gtest.h>

TEST(ErrorReportPeriod, AppendedAfterLettersDigitsAndJapanese)
{
    EXPECT_EQ(WithReportPeriod("Not Connected"), "Not Connected.");
    EXPECT_EQ(WithReportPeriod("550 No such file 2"), "550 No such file 2.");
    EXPECT_EQ(WithReportPeriod("ファイル /x は開けません"), "ファイル /x は開けません.");
    EXPECT_EQ(WithReportPeriod("漢"), "漢.");
    EXPECT_EQ(WithReportPeriod("path/"), "path/.");  // '/' sorts after '.'
}

TEST(ErrorReportPeriod, NotAppendedAfterPeriodParenthesisOrBelow)
{
    EXPECT_EQ(WithReportPeriod("リストのインデックスが範囲を超えています (5)"),
              "リストのインデックスが範囲を超えています (5)");
    EXPECT_EQ(WithReportPeriod("Done."), "Done.");
    EXPECT_EQ(WithReportPeriod("a-"), "a-");
    EXPECT_EQ(WithReportPeriod("a "), "a ");
    EXPECT_EQ(WithReportPeriod(""), "");
}
