#include "profiles/TextList.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Lines(std::string_view text)
{
    TextList list;
    list.SetText(text);
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i)
        out.push_back(list[i]);
    return out;
}

using V = std::vector<std::string>;

TEST(HostListLines, AllThreeLineEndsSplitLines)
{
    EXPECT_EQ(Lines("a\r\nb\nc\rd"), (V{"a", "b", "c", "d"}));
}

TEST(HostListLines, BreakAtTheEndAddsNoLineButLastLineWithoutBreakCounts)
{
    EXPECT_EQ(Lines("a\r\nb\r\n"), (V{"a", "b"}));
    EXPECT_EQ(Lines("a\r\nb"), (V{"a", "b"}));
    EXPECT_EQ(Lines("a\n"), (V{"a"}));
    EXPECT_EQ(Lines(""), V{});
}

TEST(HostListLines, EmptyLinesAreLines)
{
    EXPECT_EQ(Lines("a\r\n\r\nb\n\nc"), (V{"a", "", "b", "", "c"}));
    EXPECT_EQ(Lines("\r\n"), (V{""}));
    // CR then CR LF: two line ends, one empty line between.
    EXPECT_EQ(Lines("a\r\r\nb"), (V{"a", "", "b"}));
}

TEST(HostListLines, NulByteEndsTheData)
{
    using namespace std::string_literals;
    EXPECT_EQ(Lines("a:b\r\nc\0d\r\ne"s), (V{"a:b", "c"}));
}

TEST(HostListLines, FieldsKeepTheirBytesUntrimmed)
{
    EXPECT_EQ(Lines(" a : b \t\r\n"), (V{" a : b \t"}));
}

TEST(TextListRead, MissingIndexRaisesTheListIndexError)
{
    TextList list;
    list.Add("x");
    EXPECT_EQ(list[0], "x");
    try {
        (void)list[5];
        FAIL() << "no error";
    } catch (const EListError& e) {
        EXPECT_STREQ(e.what(), "リストのインデックスが範囲を超えています (5)");
    }
    EXPECT_THROW((void)list[-1], EListError);
}

} // namespace
