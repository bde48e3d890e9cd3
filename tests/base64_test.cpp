#include <gtest/gtest.h>

#include <string>

#include "engine/Base64.h"

namespace {

struct Case {
    const char* name;
    std::string plain;
    std::string encoded;
};

class Base64RoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(Base64RoundTrip, EncodesAndDecodes) {
    const Case& c = GetParam();
    EXPECT_EQ(Base64Encode(c.plain), c.encoded);
    EXPECT_EQ(Base64Decode(c.encoded), c.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Base64RoundTrip,
    ::testing::Values(Case{"empty", "", ""},
                      Case{"one_byte", "f", "Zg=="},
                      Case{"two_bytes", "fo", "Zm8="},
                      Case{"three_bytes", "foo", "Zm9v"},
                      Case{"four_bytes", "foob", "Zm9vYg=="},
                      Case{"six_bytes", "foobar", "Zm9vYmFy"},
                      Case{"username_prompt", "Username:", "VXNlcm5hbWU6"},
                      Case{"password_prompt", "Password:", "UGFzc3dvcmQ6"},
                      Case{"high_and_nul_bytes", std::string("\0\xff\xfe\x80", 4), "AP/+gA=="},
                      Case{"all_sextets", std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f"
                                                      "\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71\xd7\x9f"
                                                      "\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf"
                                                      "\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                                                      48),
                           "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

struct DecodeCase {
    const char* name;
    std::string text;
    std::string bytes;
};

class Base64Decoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decoding, Decodes) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(Base64Decode(c.text), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Base64Decoding,
    ::testing::Values(
        DecodeCase{"three_chars_give_nothing", "Zm9", ""},
        DecodeCase{"leftover_after_last_group_ignored", "Zm9vYm", "foo"},
        // Each group stands alone, so padding inside the text does not stop it.
        DecodeCase{"padded_group_then_full_group", "Zg==Zm9v", "ffoo"},
        DecodeCase{"third_pad_yields_one_byte_whatever_the_fourth", "Zg=v", "f"},
        DecodeCase{"fourth_pad_yields_two_bytes", "Zm8=", "fo"},
        // Outside the alphabet: the value 64 enters the arithmetic.
        DecodeCase{"blank_inside_group", "Z m9", std::string("\x64\x09\xbd", 3)},
        DecodeCase{"nul_reads_as_61", std::string("\0AAA", 4), std::string("\xf4\x00\x00", 3)},
        DecodeCase{"high_bytes_read_as_64", std::string("\xff\x80\xc3\xa9", 4), std::string("\x04\x10\x40", 3)}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(Base64, EncodedLengthIsFourPerStartedGroupWithoutLineBreaks) {
    for (std::size_t n = 0; n < 200; ++n) {
        const std::string out = Base64Encode(std::string(n, 'x'));
        EXPECT_EQ(out.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
    }
}

TEST(Base64, EveryByteValueRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::size_t len = 0; len <= all.size(); len += 17)
        EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, len))), all.substr(0, len));
}

}  // namespace
