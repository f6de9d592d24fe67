// The progress texts of a fetch and their pace.
#include "fetch/FetchProgress.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(FetchProgress, TextsNameAmountsInDecimalUnits)
{
    EXPECT_EQ(FetchProgress::ProgressText(12'300'000, 100'000'000, 0.1447), "FTP... 12.3 MB / 100.0 MB 12% 85 MB/s");
    EXPECT_EQ(FetchProgress::ProgressText(12'300'000, 0, 1.0), "FTP... 12.3 MB 12 MB/s");
    EXPECT_EQ(FetchProgress::ProgressText(512, 0, 1.0), "FTP... 512 B 512 B/s");
    EXPECT_EQ(FetchProgress::ProgressText(999'999, 2'000'000, 2.0), "FTP... 1000.0 kB / 2.0 MB 49% 500 kB/s");
    EXPECT_EQ(FetchProgress::ProgressText(1'500'000'000, 3'000'000'000, 1.0),
              "FTP... 1.5 GB / 3.0 GB 50% 1.5 GB/s");
    EXPECT_EQ(FetchProgress::ProgressText(100, 100, 1.0), "FTP... 100 B / 100 B 100% 100 B/s");
    // More than the server announced: the announcement was wrong, so the
    // bytes alone are shown.
    EXPECT_EQ(FetchProgress::ProgressText(2'000, 1'000, 1.0), "FTP... 2.0 kB 2.0 kB/s");
    EXPECT_EQ(FetchProgress::RateText(8'500'000), "8.5 MB/s");
    EXPECT_EQ(FetchProgress::ProgressText(0, 10, 0), "FTP... 0 B / 10 B 0%");
}

TEST(FetchProgress, PhasesThenAtMostTenTextsASecond)
{
    std::vector<std::string> shown;
    FetchProgress progress([&](const std::string& text) { shown.push_back(text); });
    progress.Received(1);  // before the data phase: nothing
    progress.Connecting();
    progress.TransferStarted(1000);
    ASSERT_EQ(shown, (std::vector<std::string>{"FTP... 接続", "FTP... 転送"}));
    for (int i = 0; i < 1000; ++i)
        progress.Received(i);
    EXPECT_EQ(shown.size(), 2u) << "nothing within the first 100 ms";
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    progress.Received(500);
    progress.Received(600);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown.back().rfind("FTP... 500 B / 1.0 kB 50% ", 0), 0u) << shown.back();
}

} // namespace
