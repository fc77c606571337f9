#include "common/protocol/address.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/socket.h>

namespace {

using namespace std::string_literals;

std::string fmt6(std::string_view text) {
    uint8_t a[16];
    if (address_parse6(a, text) != 0)
        return "(unparsed)";
    return address_format6(a).s;
}

// RFC 5952's own examples, then the corners of the compression rule.
TEST(AddressFormat6, CanonicalText) {
    const struct {
        const char *in, *want;
    } rows[] = {
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:0db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8::1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8::0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:0db8::1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:db8:0:0:1::1", "2001:db8::1:0:0:1"},
        {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:0db8::0001", "2001:db8::1"},
        {"2001:db8:aaaa:bbbb:cccc:dddd:eeee:0001", "2001:db8:aaaa:bbbb:cccc:dddd:eeee:1"},
        {"2001:db8:0:0:0:0:2:1", "2001:db8::2:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
        {"2001:DB8::1", "2001:db8::1"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"0:0:0:0:0:ffff:c000:201", "::ffff:192.0.2.1"},
        {"::ffff:0.0.0.0", "::ffff:0.0.0.0"},
        // Not IPv4-mapped, so plain groups.
        {"::192.0.2.1", "::c000:201"},
        {"::fffe:192.0.2.1", "::fffe:c000:201"},
        {"64:ff9b::192.0.2.1", "64:ff9b::c000:201"},
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"0:0:0:0:0:0:0:0", "::"},
        {"1:0:0:0:0:0:0:0", "1::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"1:0:2:0:3:0:4:0", "1:0:2:0:3:0:4:0"},
        {"0:1:2:3:4:5:6:0", "0:1:2:3:4:5:6:0"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"1:0:0:0:2:0:0:0", "1::2:0:0:0"},
        {"0:0:1:0:0:0:0:2", "0:0:1::2"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"fe80::0abc:0", "fe80::abc:0"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(fmt6(r.in), r.want) << r.in;
}

TEST(AddressParse6, AcceptedFormsGiveTheirBytes) {
    const struct {
        const char *in;
        uint8_t want[16];
    } rows[] = {
        {"::", {}},
        {"::1", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"2001:db8::7", {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}},
        {"1:2:3:4:5:6:7::", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 0}},
        {"::2:3:4:5:6:7:8", {0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
        {"1:2:3:4:5:6:1.2.3.4", {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 1, 2, 3, 4}},
        {"1::1.2.3.4", {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}},
        {"::ffff:10.0.0.1", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}},
        {"AbCd:0000::fF", {0xab, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff}},
    };
    for (const auto &r : rows) {
        uint8_t a[16];
        memset(a, 0xee, sizeof a);
        ASSERT_EQ(address_parse6(a, r.in), 0) << r.in;
        EXPECT_EQ(0, memcmp(a, r.want, 16)) << r.in;
    }
}

TEST(AddressParse6, RefusedTextLeavesTheOutputAlone) {
    const std::string rows[] = {
        "",
        ":",
        ":::",
        "::::",
        "1",
        "1:2:3:4:5:6:7",
        "1:2:3:4:5:6:7:8:9",
        "1:2:3:4:5:6:7:8::",
        "::1:2:3:4:5:6:7:8",
        "1::2::3",
        ":1::",
        ":1:2:3:4:5:6:7:8",
        "1:2:3:4:5:6:7:8:",
        "1::2:",
        "1:::2",
        "12345::",
        "00000::1",
        "g::",
        "::-1",
        "1.2.3.4",
        "::1.2.3",
        "::1.2.3.4.5",
        "::256.1.1.1",
        "::01.2.3.4",
        "::1.2.3.4:5",
        "::1.2.3.4::",
        "1:2:3:4:5:6:7:1.2.3.4",
        "1:2:3:4:5:6:7::1.2.3.4",
        "::a.2.3.4",
        "fe80::1%eth0",
        "[::1]",
        "::1/128",
        " ::1",
        "::1 ",
        "::1\n",
        "::1\0"s,
        "2001:db8::1\0::"s,
    };
    for (const auto &r : rows) {
        uint8_t a[16];
        memset(a, 0xee, sizeof a);
        EXPECT_EQ(address_parse6(a, r), -1) << '"' << r << '"';
        EXPECT_EQ(a[0], 0xee);
        EXPECT_EQ(a[15], 0xee);
    }
}

TEST(Address4, FormatAndParse) {
    const uint8_t a[4] = {192, 0, 2, 255};
    EXPECT_STREQ(address_format4(a).s, "192.0.2.255");
    const uint8_t z[4] = {};
    EXPECT_STREQ(address_format(AF_INET, z).s, "0.0.0.0");
    const uint8_t m[4] = {255, 255, 255, 255};
    EXPECT_STREQ(address_format4(m).s, "255.255.255.255");

    for (const char *ok : {"0.0.0.0", "192.0.2.7", "255.255.255.255", "10.0.0.1"}) {
        uint8_t b[4];
        ASSERT_EQ(address_parse4(b, ok), 0) << ok;
        EXPECT_STREQ(address_format4(b).s, ok);
    }
    for (const char *bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.0.0.1", "01.2.3.4", "1..2.3",
                            ".1.2.3", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4\n", "+1.2.3.4", "1.2.3.-4",
                            "1000.1.1.1", "a.b.c.d", "::1"}) {
        uint8_t b[4] = {9, 9, 9, 9};
        EXPECT_EQ(address_parse4(b, bad), -1) << bad;
        EXPECT_EQ(b[0], 9);
    }
}

TEST(AddressFormat, ByFamily) {
    const uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_STREQ(address_format(AF_INET6, a6).s, "2001:db8::1");
    EXPECT_STREQ(address_format(AF_INET, a6).s, "32.1.13.184");
    EXPECT_STREQ(address_format(AF_UNIX, a6).s, "?");
}

// Random addresses with many zero groups, so that runs, ties and the mapped
// prefix all occur: the text parses back to the same bytes here and with
// the system's parser, and is the system's own text wherever that follows
// RFC 5952 too (glibc writes IPv4-compatible addresses in dotted form).
TEST(Address6, RandomRoundTripAgreesWithTheSystem) {
    std::mt19937 rng(5952);
    for (int round = 0; round < 20000; round++) {
        uint8_t a[16];
        for (int g = 0; g < 8; g++) {
            unsigned v = rng() % 3 == 0 ? static_cast<unsigned>(rng()) & 0xffff : 0;
            if (rng() % 8 == 0)
                v = rng() % 2 ? 0xffff : 1;
            a[2 * g] = static_cast<uint8_t>(v >> 8);
            a[2 * g + 1] = static_cast<uint8_t>(v);
        }
        if (rng() % 10 == 0) {
            memset(a, 0, 10);
            a[10] = a[11] = 0xff;
        }
        const std::string text = address_format6(a).s;
        SCOPED_TRACE(text);
        ASSERT_LT(text.size(), ADDRESS_TEXT_MAX);
        uint8_t back[16];
        ASSERT_EQ(address_parse6(back, text), 0);
        EXPECT_EQ(0, memcmp(a, back, 16));
        ASSERT_EQ(inet_pton(AF_INET6, text.c_str(), back), 1);
        EXPECT_EQ(0, memcmp(a, back, 16));
#ifdef __GLIBC__
        static const uint8_t compat[12] = {};
        bool v4compat = memcmp(a, compat, 12) == 0 && (a[12] | a[13]) != 0;
        char sys[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, a, sys, sizeof sys), nullptr);
        if (!v4compat) {
            EXPECT_EQ(text, sys);
        }
#endif
    }
}

} // namespace
