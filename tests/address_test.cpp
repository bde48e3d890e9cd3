#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/UtilU1.h"

namespace {

using Hosts = std::vector<std::string>;

struct ParseCase {
    const char* name;
    std::string text;
    int code;
    Hosts hosts;
    std::string local;
    std::string domain;
    std::string path;  // GetPath afterwards
};

class RouteParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RouteParse, FieldsCodeAndPathWrittenBack) {
    const ParseCase& c = GetParam();
    TMessageRouteInformation r(rkForwardPath);
    EXPECT_EQ(r.Parse(c.text), c.code);
    EXPECT_EQ(r.RouteHosts, c.hosts);
    EXPECT_EQ(r.LocalPart, c.local);
    EXPECT_EQ(r.Domain, c.domain);
    EXPECT_EQ(r.GetPath(), c.path);
    EXPECT_EQ(r.Kind, rkForwardPath);
}

const std::string Q = "\"";

INSTANTIATE_TEST_SUITE_P(
    Table, RouteParse,
    ::testing::Values(
        // Empty paths.
        ParseCase{"null_path", "<>", 1, {}, "", "", "<>"},
        ParseCase{"empty_text", "", 1, {}, "", "", "<>"},
        ParseCase{"blanks", "   \t ", 1, {}, "", "", "<>"},
        ParseCase{"blanks_between_brackets", "<   >", 1, {}, "", "", "<>"},
        // Brackets.
        ParseCase{"open_only", "<a@b", 2, {}, "", "", "<>"},
        ParseCase{"close_only", "a@b>", 2, {}, "", "", "<>"},
        ParseCase{"close_before_open", "x>y<z", 1, {}, "", "", "<>"},
        ParseCase{"no_brackets_parsed_whole", "john@example", 0, {}, "john", "example", "<john@example>"},
        ParseCase{"words_around_ignored", "junk <a@b> trailing", 0, {}, "a", "b", "<a@b>"},
        ParseCase{"mail_from_argument", "FROM:<user@host.example> SIZE=100", 0, {}, "user", "host.example",
                  "<user@host.example>"},
        ParseCase{"blanks_inside_brackets_trimmed", "< u@d >", 0, {}, "u", "d", "<u@d>"},
        ParseCase{"high_bytes_kept", "<\xe9t\xe9@d>", 0, {}, "\xe9t\xe9", "d", "<\xe9t\xe9@d>"},
        // Source routes.
        ParseCase{"route_round_trip", "<@a,@b:u@d>", 0, {"a", "b"}, "u", "d", "<@a,@b:u@d>"},
        ParseCase{"route_item_without_at", "<a,@b:u@d>", 4, {"b"}, "u", "d", "<@b:u@d>"},
        ParseCase{"empty_route_part", "<:u@d>", 4, {}, "u", "d", "<u@d>"},
        ParseCase{"route_trailing_comma", "<@a,:u@d>", 4, {"a"}, "u", "d", "<@a:u@d>"},
        ParseCase{"route_item_blank_after_at", "<@ ,@b:u@d>", 0, {"b"}, "u", "d", "<@b:u@d>"},
        ParseCase{"route_literal", "<@[10.1.2.3]:u@d>", 0, {"10.1.2.3"}, "u", "d", "<@[10.1.2.3]:u@d>"},
        ParseCase{"route_literal_unclosed", "<@[10.1.2.3:u@d>", 3, {"10.1.2.3"}, "u", "d", "<@[10.1.2.3]:u@d>"},
        ParseCase{"route_literal_unclosed_before_comma", "<@[10.1.2.3,@b:u@d>", 3, {"10.1.2.3", "b"}, "u", "d",
                  "<@[10.1.2.3],@b:u@d>"},
        ParseCase{"route_stray_close_bracket", "<@x]:u@d>", 3, {"x]"}, "u", "d", "<u@d>"},
        ParseCase{"route_digits", "<@#12:u@d>", 0, {"12"}, "u", "d", "<@#12:u@d>"},
        ParseCase{"route_only_when_mailbox_empty_domain", "<@a:u@>", 0, {"a"}, "u", "", "<@a:>"},
        ParseCase{"route_host_not_domain_text_left_out", "<@a_b,@c:u@d>", 0, {"a_b", "c"}, "u", "d",
                  "<@c:u@d>"},
        // Domains.
        ParseCase{"domain_literal", "<u@[10.0.0.1]>", 0, {}, "u", "10.0.0.1", "<u@[10.0.0.1]>"},
        ParseCase{"domain_literal_unclosed", "<u@[10.0.0.1>", 3, {}, "u", "10.0.0.1", "<u@[10.0.0.1]>"},
        ParseCase{"domain_digits", "<u@#123>", 0, {}, "u", "123", "<u@#123>"},
        ParseCase{"domain_hash_keeps_brackets", "<u@#[1.2.3.4]>", 0, {}, "u", "[1.2.3.4]", "<u>"},
        ParseCase{"domain_with_more_at", "<u@d@e>", 0, {}, "u", "d@e", "<u>"},
        ParseCase{"domain_not_domain_text", "<u@d_e>", 0, {}, "u", "d_e", "<u>"},
        ParseCase{"empty_domain", "<u@>", 0, {}, "u", "", "<>"},
        // Quoting.
        ParseCase{"quoted_with_blank", "<" + Q + "john smith" + Q + "@d>", 0, {}, "john smith", "d",
                  "<" + Q + "john smith" + Q + "@d>"},
        ParseCase{"quoted_without_blank_unquoted", "<" + Q + "a.b" + Q + "@d>", 0, {}, "a.b", "d", "<a.b@d>"},
        ParseCase{"quote_inside", "<jo" + Q + "hn@d>", 6, {}, "", "d", "<>"},
        ParseCase{"quote_never_closed", "<" + Q + "john@d>", 6, {}, "john", "d", "<john@d>"},
        ParseCase{"lone_quote", "<" + Q + "@d>", 0, {}, "", "d", "<>"},
        ParseCase{"quoted_blank_trimmed", "<" + Q + " x " + Q + "@d>", 0, {}, "x", "d", "<x@d>"},
        // Missing parts.
        ParseCase{"no_at", "<user>", 5, {}, "", "", "<>"},
        ParseCase{"no_at_after_route", "<@a:user>", 5, {"a"}, "", "", "<@a:>"},
        ParseCase{"empty_local", "<@d>", 0, {}, "", "d", "<>"},
        // Codes combine to the last one recorded.
        ParseCase{"route_then_domain_code", "<a,@b:u@[d>", 3, {"b"}, "u", "d", "<@b:u@d>"},
        ParseCase{"route_literal_then_bad_item", "<@[x,y:u@d>", 4, {"x"}, "u", "d", "<@x:u@d>"},
        ParseCase{"local_then_domain_code", "<" + Q + "u@[d>", 3, {}, "u", "d", "<u@d>"},
        ParseCase{"domain_clean_keeps_local_code", "<j" + Q + "@d>", 6, {}, "", "d", "<>"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(RouteInformation, ParseStartsFromAnEmptyRecord) {
    TMessageRouteInformation r(rkReversePath);
    ASSERT_EQ(r.Parse("<@a,@b:u@d>"), 0);
    EXPECT_EQ(r.Parse("<user>"), 5);
    EXPECT_TRUE(r.RouteHosts.empty());
    EXPECT_EQ(r.LocalPart, "");
    EXPECT_EQ(r.Domain, "");
    EXPECT_EQ(r.Kind, rkReversePath);
}

TEST(RouteInformation, ClearKeepsKindAndGivesNullPath) {
    TMessageRouteInformation r(rkReversePath);
    r.Parse("<@a:u@d>");
    r.Clear();
    EXPECT_EQ(r.GetPath(), "<>");
    EXPECT_EQ(r.Kind, rkReversePath);
}

TEST(RouteInformation, WrittenPathParsesBackToTheSameRecord) {
    for (const std::string text : {"<@a,@[1.2.3.4],@#7:u@d.example>", "<\"x y\"@[10.0.0.1]>", "<a@b>", "<>"}) {
        TMessageRouteInformation r1, r2;
        r1.Parse(text);
        r2.Parse(r1.GetPath());
        EXPECT_EQ(r1.RouteHosts, r2.RouteHosts) << text;
        EXPECT_EQ(r1.LocalPart, r2.LocalPart) << text;
        EXPECT_EQ(r1.Domain, r2.Domain) << text;
        EXPECT_EQ(r1.GetPath(), text);
    }
}

struct BoolCase {
    const char* name;
    std::string text;
    bool expected;
};

class IPAddress : public ::testing::TestWithParam<BoolCase> {};
TEST_P(IPAddress, Recognised) { EXPECT_EQ(IsIPAddress(GetParam().text), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(
    Table, IPAddress,
    ::testing::Values(BoolCase{"plain", "1.2.3.4", true}, BoolCase{"leading_blanks", "  1.2.3.4", true},
                      BoolCase{"leading_plus", "+1.2.3.4", true}, BoolCase{"zeros", "0.0.0.0", true},
                      BoolCase{"max", "255.255.255.255", true}, BoolCase{"hex_part", "$7f.0.0.1", true},
                      BoolCase{"hex_0x_part", "0x7F.0.0.1", true}, BoolCase{"too_big", "256.1.1.1", false},
                      BoolCase{"negative", "-1.1.1.1", false}, BoolCase{"three_parts", "1.2.3", false},
                      BoolCase{"five_parts", "1.2.3.4.5", false}, BoolCase{"empty_part", "1..2.3", false},
                      BoolCase{"empty_last", "1.2.3.", false}, BoolCase{"letters", "a.b.c.d", false},
                      BoolCase{"trailing_blank", "1.2.3.4 ", false}, BoolCase{"empty", "", false},
                      BoolCase{"overflowing_part", "4294967297.1.1.1", false}),
    [](const ::testing::TestParamInfo<BoolCase>& info) { return std::string(info.param.name); });

class EMailAddress : public ::testing::TestWithParam<BoolCase> {};
TEST_P(EMailAddress, Checked) { EXPECT_EQ(IsValidEMailAddress(GetParam().text), GetParam().expected); }
INSTANTIATE_TEST_SUITE_P(
    Table, EMailAddress,
    ::testing::Values(BoolCase{"plain", "john@example.com", true}, BoolCase{"empty_domain", "a@", true},
                      BoolCase{"empty_local", "@b", true}, BoolCase{"local_not_checked", "j o_h+n@b", true},
                      BoolCase{"second_at", "a@b@c", false}, BoolCase{"underscore_domain", "a@b_c", false},
                      BoolCase{"no_at", "ab", false}, BoolCase{"empty", "", false}),
    [](const ::testing::TestParamInfo<BoolCase>& info) { return std::string(info.param.name); });

// Whether the path a queue file would hold reads back as the recipient.
class ReadsBack : public ::testing::TestWithParam<BoolCase> {};
TEST_P(ReadsBack, SameRecipient) {
    TMessageRouteInformation r(rkForwardPath);
    r.Parse(GetParam().text);
    EXPECT_EQ(r.ReadsBackSame(), GetParam().expected) << r.GetPath();
}
INSTANTIATE_TEST_SUITE_P(
    Table, ReadsBack,
    ::testing::Values(BoolCase{"plain", "<x@remote.test>", true},
                      BoolCase{"route_literal_digits", "<@[10.1.2.3],@#7:x@remote.test>", true},
                      BoolCase{"quoted_blank", "<\"a b\"@remote.test>", true},
                      BoolCase{"quoted_without_blank", "<\"a.b\"@remote.test>", true},
                      BoolCase{"underscore_domain", "<x@under_score.test>", false},
                      BoolCase{"quote_in_quoted_local", "<\"a\\\"b\"@remote.test>", false},
                      BoolCase{"colon_in_local", "<@:a:b@remote.test>", false},
                      BoolCase{"blank_in_literal", "<x@[a b]>", false},
                      BoolCase{"empty_domain", "<x@>", false},
                      BoolCase{"empty_local", "<@remote.test>", false},
                      BoolCase{"route_host_left_out", "<@a_b:x@remote.test>", false}),
    [](const ::testing::TestParamInfo<BoolCase>& info) { return std::string(info.param.name); });

// Generous bound: a parse that copied the rest of the route per item took
// seconds on a megabyte.
TEST(RouteInformation, MegabyteRouteParsesInLinearTime) {
    std::string route = "<";
    while (route.size() < (1u << 20)) route += "@h.example,";
    route += "@last.example:u@d.example>";
    const auto start = std::chrono::steady_clock::now();
    TMessageRouteInformation r;
    EXPECT_EQ(r.Parse(route), 0);
    EXPECT_EQ(r.GetPath().size(), route.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.RouteHosts.back(), "last.example");
}

struct FormatCase {
    const char* name;
    std::string text;
    std::string domain;
    std::string routeHost;
};

class DomainFormat : public ::testing::TestWithParam<FormatCase> {};
TEST_P(DomainFormat, Written) {
    EXPECT_EQ(FormatDomain(GetParam().text), GetParam().domain);
    EXPECT_EQ(FormatRouteHost(GetParam().text), GetParam().routeHost);
}
INSTANTIATE_TEST_SUITE_P(
    Table, DomainFormat,
    ::testing::Values(FormatCase{"name", "mail.example", "mail.example", "@mail.example"},
                      FormatCase{"digits", "123", "#123", "@#123"},
                      FormatCase{"empty_counts_as_digits", "", "#", "@#"},
                      FormatCase{"ipv4", "10.0.0.1", "[10.0.0.1]", "@[10.0.0.1]"},
                      FormatCase{"not_domain_text", "a_b", "", ""},
                      FormatCase{"blank_ip_not_domain_text", " 10.0.0.1", "", ""},
                      FormatCase{"dotted_but_not_ip", "1.2.3.4.5", "1.2.3.4.5", "@1.2.3.4.5"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST(AddressFormat, MailboxQuotesOnlyLocalPartsWithBlanks) {
    EXPECT_EQ(FormatMailbox("john smith", "10.0.0.1"), "\"john smith\"@[10.0.0.1]");
    EXPECT_EQ(FormatMailbox("listmaster", "mail.example"), "listmaster@mail.example");
    EXPECT_EQ(FormatMailbox("a.b", "d_e"), "a.b");
    EXPECT_EQ(QuoteLocalPart("a\tb"), "a\tb");
}

TEST(AddressFormat, DigitAndDomainTextPredicates) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("0123456789"));
    EXPECT_FALSE(IsAllDigits("12a"));
    EXPECT_FALSE(IsAllDigits("-1"));
    EXPECT_TRUE(IsDomainText(""));
    EXPECT_TRUE(IsDomainText("Mail-1.Example.COM"));
    EXPECT_FALSE(IsDomainText("a b"));
    EXPECT_FALSE(IsDomainText("caf\xc3\xa9"));
    EXPECT_TRUE(IsValidLocalPart(""));
}

}  // namespace
