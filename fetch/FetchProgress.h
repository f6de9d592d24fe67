// The status texts of a running fetch: the phase while connecting, then how
// far the download has come, shown at most ten times a second so a fast
// transfer pays almost nothing for it.
#pragma once

#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <string>

class FetchProgress {
public:
    // Receives each text to show (UTF-8).
    using Sink = std::function<void(const std::string& text)>;
    // Shortest time between two progress texts.
    static constexpr int64_t IntervalMs = 100;

    explicit FetchProgress(Sink sink) : FSink(std::move(sink)) {}

    // The protocol's name the texts begin with: "FTP" until set.
    const std::string& Label() const { return FLabel; }
    void SetLabel(const std::string& label) { FLabel = label; }

    // "FTP... 接続": connecting and logging in. Does not throw unless the sink does.
    void Connecting();
    // "FTP... 転送": the data phase starts; size is the file's size from the
    // server's reply, 0 when it gave none. Starts the rate clock.
    void TransferStarted(int64_t size);
    // bytes received so far; shown when IntervalMs have passed since the
    // last text. Cheap when nothing is shown.
    void Received(int64_t bytes);

    // The progress text: "FTP... 12.3 MB / 100.0 MB 12% 85 MB/s", or
    // without size "FTP... 12.3 MB 85 MB/s" (also when more than size has
    // come); label replaces "FTP". Does not throw.
    static std::string ProgressText(int64_t bytes, int64_t size, double seconds,
                                    const std::string& label = "FTP");
    // An amount in decimal units: "512 B", "12.3 kB", "100.0 MB", "1.5 GB".
    static std::string AmountText(double bytes);
    // A rate: "850 kB/s", "8.5 MB/s" (one decimal below ten units).
    static std::string RateText(double bytesPerSecond);

private:
    Sink FSink;
    std::string FLabel = "FTP";
    QElapsedTimer FClock;
    int64_t FSize = 0;
    int64_t FLastShownMs = 0;
};
