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

#include "fetch/FetchOutcome.h"
#include "fetch/ServerText.h"

TEST(ServerText, DecodedLosslesslyWithControlsMarked)
{
    // UTF-8 stays UTF-8; bytes that are not UTF-8 are Shift_JIS ("日本").
    EXPECT_EQ(ServerLineToQString("550 ファイル\r\n"), QStringLiteral("550 ファイル"));
    EXPECT_EQ(ServerLineToQString("550 \x93\xFA\x96\x7B\r\n"), QStringLiteral("550 日本"));
    // Inside a line every control character shows as a mark, CR and LF too.
    EXPECT_EQ(ServerLineToQString(std::string("a\tb\x1B[1m\rc\x7F\0d\n", 13)),
              QStringLiteral("a\u2409b\u241B[1m\u240Dc\u2421\u2400d"));
    // C1 controls from UTF-8 (NEL, CSI) have no pictures: the replacement mark.
    EXPECT_EQ(ServerLineToQString("a\xC2\x85" "b\xC2\x9B" "1m\xC2\xA0"), QStringLiteral("a\uFFFDb\uFFFD1m\u00A0"));
    // Bidirectional overrides and isolates would make the message read backwards.
    EXPECT_EQ(ServerLineToQString("550 \xE2\x80\xAEgol.exe\xE2\x80\xAC \xE2\x81\xA6x\xE2\x81\xA9 \xE2\x80\x8F"),
              QStringLiteral("550 \uFFFDgol.exe\uFFFD \uFFFDx\uFFFD \uFFFD"));
    // A text keeps its line breaks (LF and CR LF) and marks a lone CR.
    EXPECT_EQ(ServerTextToQString("one\r\ntwo\nthree\rfour"), QStringLiteral("one\ntwo\nthree\u240Dfour"));
}

TEST(FetchOutcome, NoticeNamesTheFirstFailureAndKeepsItsPrefixWhole)
{
    FetchOutcome outcome;
    EXPECT_TRUE(outcome.Notice().isEmpty());
    outcome.NoteFailure(FetchStep::LogIn, "530 \x83\x8D\x83\x4F\x83\x43\x83\x93\r\n");
    outcome.NoteFailure(FetchStep::LogOut, "421 later\r\n");
    EXPECT_EQ(outcome.Step, FetchStep::LogIn);
    // A Shift_JIS message does not turn the UTF-8 prefix into mojibake.
    EXPECT_EQ(outcome.Notice(), QStringLiteral("ログイン失敗: 530 ログイン"));
    for (FetchStep step : {FetchStep::Profile, FetchStep::Connect, FetchStep::ChangeDir,
                           FetchStep::TransferType, FetchStep::Download, FetchStep::Upload,
                           FetchStep::LogOut, FetchStep::Display})
        EXPECT_STRNE(StepWord(step), "");
}
