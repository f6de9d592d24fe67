// Where the view's text lies: in memory, or in a file of its own whose pages
// are given back behind the passes over it.
#include "view/SjisTextStore.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Names(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// A folder of this test's own, so that other tests' files do not come and go
// in it.
std::string OwnFolder()
{
    std::string name = ::testing::TempDir() + "/wisplog-store-XXXXXX";
    return ::mkdtemp(name.data()) ? name : std::string();
}

std::string Pattern(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed) % 251);
    return bytes;
}

// Bytes written in pieces and given back (some before the next piece has
// been written behind them), grown by appends far past the room and cut
// again keep every byte; the folder never shows the file.
TEST(SjisTextStore, ATextInAFileKeepsEveryByteThroughGivingBackGrowingAndCutting)
{
    const std::string directory = OwnFolder();
    ASSERT_FALSE(directory.empty());
    const auto before = Names(directory);
    {
        auto made = SjisTextStore::InFile(directory, 3 << 20);
        ASSERT_TRUE(made);
        SjisTextStore store = std::move(*made);
        EXPECT_TRUE(store.InFileBacked());
        const std::string first = Pattern(3 << 20, 7);
        for (std::size_t at = 0; at < first.size(); at += 100000) {
            const std::size_t n = std::min<std::size_t>(100000, first.size() - at);
            store.Append(std::string_view(first).substr(at, n));
            EXPECT_EQ(store.Bytes().substr(at), std::string_view(first).substr(at, n));
            // Half a piece ahead of what is written.
            store.GiveBack(0, at + n + 50000);
        }
        EXPECT_EQ(Names(directory), before);
        EXPECT_EQ(store.Bytes(), first);

        std::string whole = first;
        for (int k = 0; k < 40; ++k) {
            const std::string more = Pattern(100000 + k, k);
            store.Append(more);
            whole += more;
            store.GiveBackAll();
        }
        EXPECT_EQ(store.Bytes(), whole);
        store.Resize(12345);
        EXPECT_EQ(store.Bytes(), whole.substr(0, 12345));
        store.Append("tail");
        EXPECT_EQ(store.Bytes(), whole.substr(0, 12345) + "tail");

        SjisTextStore moved = std::move(store);
        EXPECT_FALSE(store.InFileBacked()); // NOLINT(bugprone-use-after-move): a moved-from store is empty
        EXPECT_EQ(store.Size(), 0u);        // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(moved.Bytes(), whole.substr(0, 12345) + "tail");
    }
    EXPECT_EQ(Names(directory), before);
    ::rmdir(directory.c_str());
}

TEST(SjisTextStore, NoFileWhereNoneCanBeMadeAndTextsInMemoryAsTheyCame)
{
    EXPECT_FALSE(SjisTextStore::InFile("/nonexistent/wisplog-no-such-folder", 4096));
    SjisTextStore store(std::string("abc\r\n"));
    EXPECT_FALSE(store.InFileBacked());
    store.GiveBackAll();
    store.Append("def");
    store.Resize(4);
    EXPECT_EQ(store.Bytes(), "abc\r");
    // An empty room grows from nothing.
    auto empty = SjisTextStore::InFile(::testing::TempDir(), 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Bytes(), "");
    empty->Append("x");
    EXPECT_EQ(empty->Bytes(), "x");
}

} // namespace
