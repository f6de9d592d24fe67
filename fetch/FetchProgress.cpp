#include "fetch/FetchProgress.h"

#include <cstdio>

namespace {

struct Unit {
    double Scale;
    const char* Name;
};

// The largest decimal unit that keeps the value at 1 or more.
Unit UnitFor(double bytes)
{
    if (bytes >= 1e9)
        return {1e9, "GB"};
    if (bytes >= 1e6)
        return {1e6, "MB"};
    if (bytes >= 1e3)
        return {1e3, "kB"};
    return {1, "B"};
}

} // namespace

void FetchProgress::Connecting()
{
    FSink(FLabel + "... 接続");
}

void FetchProgress::TransferStarted(int64_t size)
{
    FSize = size;
    FClock.start();
    FLastShownMs = 0;
    FSink(FLabel + "... 転送");
}

void FetchProgress::Received(int64_t bytes)
{
    if (!FClock.isValid())
        return;
    const int64_t now = FClock.elapsed();
    if (now - FLastShownMs < IntervalMs)
        return;
    FLastShownMs = now;
    FSink(ProgressText(bytes, FSize, double(now) / 1000.0, FLabel));
}

std::string FetchProgress::AmountText(double bytes)
{
    const Unit unit = UnitFor(bytes);
    char text[48];
    if (unit.Scale == 1)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes / unit.Scale, unit.Name);
    return text;
}

std::string FetchProgress::RateText(double bytesPerSecond)
{
    const Unit unit = UnitFor(bytesPerSecond);
    const double value = bytesPerSecond / unit.Scale;
    char text[48];
    std::snprintf(text, sizeof text, value < 10 && unit.Scale > 1 ? "%.1f %s/s" : "%.0f %s/s", value,
                  unit.Name);
    return text;
}

std::string FetchProgress::ProgressText(int64_t bytes, int64_t size, double seconds, const std::string& label)
{
    // Appended piece by piece (g++ 12 warns falsely about "literal" + string).
    std::string text = label;
    text += "... ";
    text += AmountText(double(bytes));
    if (size > 0 && bytes <= size) {
        text += " / ";
        text += AmountText(double(size));
        text += ' ';
        text += std::to_string(bytes * 100 / size);
        text += '%';
    }
    if (seconds > 0) {
        text += ' ';
        text += RateText(double(bytes) / seconds);
    }
    return text;
}
