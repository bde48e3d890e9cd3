#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "engine/MD5.h"

namespace {

// Bytes of a fixed pattern, so that each length has its own digest.
std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) % 256);
    return s;
}

struct Vector {
    const char* name;
    std::string input;
    const char* digest;
};

class MD5Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(MD5Vectors, HexOfString) {
    const Vector& v = GetParam();
    EXPECT_EQ(MD5HexOfString(v.input), v.digest);
}

// Feeding the same bytes in odd-sized steps must give the same digest as one
// update: this crosses the block boundary at every offset.
TEST_P(MD5Vectors, IncrementalUpdatesAgree) {
    const Vector& v = GetParam();
    for (std::size_t step : {1u, 3u, 63u, 65u}) {
        TMD5State ctx;
        MD5InitContext(ctx);
        for (std::size_t i = 0; i < v.input.size(); i += step)
            MD5AddBytes(ctx, v.input.data() + i, std::min(step, v.input.size() - i));
        TMD5Digest d = MD5FinishDigest(ctx);
        char hex[33];
        for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", d[i]);
        EXPECT_EQ(std::string(hex), v.digest) << "step " << step;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rfc1321AndBoundaries, MD5Vectors,
    ::testing::Values(
        // The test suite of RFC 1321, appendix A.5.
        Vector{"empty", "", "D41D8CD98F00B204E9800998ECF8427E"},
        Vector{"a", "a", "0CC175B9C0F1B6A831C399E269772661"},
        Vector{"abc", "abc", "900150983CD24FB0D6963F7D28E17F72"},
        Vector{"message_digest", "message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        Vector{"alphabet", "abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        Vector{"alnum", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
               "D174AB98D277D9F5A5611C2C9F419D9F"},
        Vector{"digits80",
               "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
               "57EDF4A22BE3C955AC49DA2E2107B67A"},
        // Padding boundaries (55 fits one block, 56 needs a second) and the
        // 16,384-byte piece boundary of the long-buffer feed.
        Vector{"len55", pattern(55), "52C0E574E1198DE5FE3F8F11440DCB1B"},
        Vector{"len56", pattern(56), "46C9907FC908EE68B1E7B8E71286A518"},
        Vector{"len63", pattern(63), "A62F6D59E837867693F042F5B8F5A236"},
        Vector{"len64", pattern(64), "7160B8FB5E9E4023D549C3971FBAEEAD"},
        Vector{"len16384", pattern(16384), "239C55B0C6DCAC81344234CA75B93E54"},
        Vector{"len16385", pattern(16385), "24F56994F6CB15127416E68EEBA1402C"},
        Vector{"million_a", std::string(1000000, 'a'), "7707D6AE4E027C70EEA2A935C2296F21"}),
    [](const ::testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

TEST(MD5, TextIsAlways32UpperCaseHexDigits) {
    for (const std::string& s : {std::string(), std::string("x"), pattern(1000), std::string("\0\xff", 2)}) {
        const std::string hex = MD5HexOfString(s);
        ASSERT_EQ(hex.size(), 32u);
        for (char c : hex) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')) << hex;
    }
}

TEST(MD5, BytesAreHashedAsBytesNotAsCText) {
    // Embedded NULs and high bytes count; the text is not cut at the first NUL.
    EXPECT_NE(MD5HexOfString(std::string("a\0b", 3)), MD5HexOfString("a"));
    EXPECT_EQ(MD5HexOfBuffer("abc", 3), MD5HexOfString("abc"));
}

TEST(MD5, FinishZeroesTheContext) {
    TMD5State ctx;
    MD5InitContext(ctx);
    MD5AddBytes(ctx, "secret", 6);
    MD5FinishDigest(ctx);
    TMD5State zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(MD5, ApopDigestOfTimestampAndSecret) {
    // The example exchange of RFC 1939 (the APOP user of this unit).
    EXPECT_EQ(MD5HexOfString("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
              "C4C9334BAC560ECC979E58001B3E22FB");
}

}  // namespace
