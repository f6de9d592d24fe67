// The security field of a host profile: plain, verified TLS, or a pinned
// certificate fingerprint; everything else refused.
#include "sock/TlsSession.h"

#include <gtest/gtest.h>

TEST(TlsSecurityField, ReadsPlainVerifiedAndPinnedAndRefusesTheRest)
{
    const std::string lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    std::string upper = lower;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));

    TTlsSecurity security;
    ASSERT_TRUE(TTlsSecurity::Parse("", security));
    EXPECT_EQ(security.Mode, TTlsMode::Off);
    ASSERT_TRUE(TTlsSecurity::Parse("tls", security));
    EXPECT_EQ(security.Mode, TTlsMode::Verify);
    ASSERT_TRUE(TTlsSecurity::Parse("TLS", security));
    EXPECT_EQ(security.Mode, TTlsMode::Verify);
    for (const std::string& text : {lower, upper}) {
        ASSERT_TRUE(TTlsSecurity::Parse(text, security)) << text;
        EXPECT_EQ(security.Mode, TTlsMode::Pin);
        EXPECT_EQ(security.Fingerprint, lower) << "stored in one letter case";
    }

    // Refused values leave the security as it was.
    const TTlsSecurity before = security;
    std::string colons;
    for (size_t i = 0; i < lower.size(); i += 2)
        colons += (i ? ":" : "") + lower.substr(i, 2);
    for (const std::string& text :
         {std::string("ssl"), std::string("tls "), std::string(" tls"), std::string("tlsx"), lower.substr(1),
          lower + "0", lower.substr(0, 63) + "g", colons, std::string("sha256:") + lower}) {
        EXPECT_FALSE(TTlsSecurity::Parse(text, security)) << text;
        EXPECT_EQ(security.Mode, before.Mode);
        EXPECT_EQ(security.Fingerprint, before.Fingerprint);
    }
}
