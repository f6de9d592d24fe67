// Shared pieces of the timestamp tests: a fixed local time zone, and UTF-8
// test texts turned into the Shift_JIS the reader sees.
#pragma once

#include "decode/Convert.h"
#include "view/LogTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// Sets the C library's time zone for the scope, and puts the old one back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone)
    {
        const char* old = std::getenv("TZ");
        FHad = old != nullptr;
        if (FHad)
            FOld = old;
        setenv("TZ", zone, 1);
        LogTimeZoneChanged();
    }
    ~ZoneScope()
    {
        if (FHad)
            setenv("TZ", FOld.c_str(), 1);
        else
            unsetenv("TZ");
        LogTimeZoneChanged();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    bool FHad = false;
    std::string FOld;
};

// Local time at UTC+9 all year, as the labelled set is written.
class LocalJst : public ::testing::Test {
    ZoneScope FZone{"JST-9"};
};

inline std::string Sjis(const std::string& utf8)
{
    std::string out(utf8.size() * 2 + 8, '\0');
    const int64_t n = Utf8ToSjis(reinterpret_cast<uint8_t*>(out.data()),
                                 reinterpret_cast<const uint8_t*>(utf8.c_str()), out.size());
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}
