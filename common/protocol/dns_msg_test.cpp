#include "common/protocol/dns_msg.h"

#include "tests/support/hex.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

dns_name name_of(const std::string &text) {
    dns_name n{};
    EXPECT_TRUE(dns_msg_name_from_text(&n, text.data(), text.size())) << text;
    return n;
}

std::string wire(const dns_name &n) {
    return hex_of(n.wire, n.len);
}

TEST(DnsMsgName, TextToWire) {
    const struct {
        std::string text;
        const char *wire; // null: refused
    } rows[] = {
        {"home.example.org", "04686f6d65076578616d706c65036f726700"},
        {"home.example.org.", "04686f6d65076578616d706c65036f726700"},
        {".", "00"},
        {"a\\.b.c", "03612e620163"
                    "00"},
        {"a\\065\\\\", "0361415c00"},
        {"", nullptr},
        {"..", nullptr},
        {"a..b", nullptr},
        {".a", nullptr},
        {"a\\", nullptr},
        {"a\\25", nullptr},
        {"a\\256", nullptr},
        {std::string(63, 'x'), nullptr}, // filled in below
        {std::string(64, 'x'), nullptr},
    };
    for (const auto &r : rows) {
        dns_name n{};
        n.len = 99;
        bool ok = dns_msg_name_from_text(&n, r.text.data(), r.text.size());
        if (r.text.size() == 63) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(n.len, 65u);
            continue;
        }
        if (r.wire == nullptr) {
            EXPECT_FALSE(ok) << r.text;
            EXPECT_EQ(n.len, 99u) << "changed on failure: " << r.text;
        } else {
            EXPECT_TRUE(ok) << r.text;
            EXPECT_EQ(wire(n), r.wire) << r.text;
        }
    }
}

// 255 bytes of wire form is the most: four labels of 63 and the root make
// 257, so the longest name has labels 63, 63, 63 and 61.
TEST(DnsMsgName, LengthLimitIsTheWireForm) {
    std::string l63(63, 'a'), l61(61, 'b');
    std::string longest = l63 + "." + l63 + "." + l63 + "." + l61;
    dns_name n{};
    ASSERT_TRUE(dns_msg_name_from_text(&n, longest.data(), longest.size()));
    EXPECT_EQ(n.len, 255u);
    std::string over = longest + "b";
    EXPECT_FALSE(dns_msg_name_from_text(&n, over.data(), over.size()));
    std::string over2 = longest + ".c";
    EXPECT_FALSE(dns_msg_name_from_text(&n, over2.data(), over2.size()));
}

TEST(DnsMsgName, TextRoundTripAndEscapes) {
    for (std::string t : {"home.example.org", "a\\.b.c", "x\\007y.z", "."}) {
        dns_name n = name_of(t);
        char buf[DNS_NAME_MAX * 4 + 1];
        ASSERT_EQ(dns_msg_name_to_text(&n, buf, sizeof buf), t.size()) << t;
        EXPECT_EQ(std::string(buf), t);
    }
    dns_name n = name_of("home.example.org");
    char small[16];
    EXPECT_EQ(dns_msg_name_to_text(&n, small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
}

TEST(DnsMsgName, WithinAndEqualIgnoreCaseAndRespectLabels) {
    dns_name zone = name_of("Example.ORG");
    EXPECT_TRUE(dns_msg_name_within(&zone, &zone));
    dns_name inside = name_of("home.example.org");
    EXPECT_TRUE(dns_msg_name_within(&inside, &zone));
    dns_name deep = name_of("a.b.EXAMPLE.org.");
    EXPECT_TRUE(dns_msg_name_within(&deep, &zone));
    // The same bytes, but not on a label boundary.
    dns_name fake = name_of("homeexample.org");
    EXPECT_FALSE(dns_msg_name_within(&fake, &zone));
    dns_name other = name_of("example.net");
    EXPECT_FALSE(dns_msg_name_within(&other, &zone));
    EXPECT_FALSE(dns_msg_name_within(&zone, &inside));
    dns_name same = name_of("EXAMPLE.org");
    EXPECT_TRUE(dns_msg_name_equal(&zone, &same));
    EXPECT_FALSE(dns_msg_name_equal(&zone, &inside));
}

// The update as the name server tools send it (here with every name written
// out where they compress): zone example.test SOA IN, delete home's A
// RRset (class ANY, TTL 0, no data), add home 60 IN A 192.0.2.7.
TEST(DnsMsgUpdate, BuildsTheRfc2136Message) {
    dns_name zone = name_of("example.test"), owner = name_of("home.example.test");
    const uint8_t a4[4] = {192, 0, 2, 7};
    uint8_t buf[512];
    dns_msg_update u{0x1e0b, &zone, &owner, DNS_TYPE_A, 60, a4};
    size_t n = dns_msg_build_update(buf, sizeof buf, &u);
    const std::string head = "1e0b2800000100000002"
                             "0000"
                             "076578616d706c650474657374000006"
                             "0001";
    const std::string home = "04686f6d65076578616d706c65047465737400";
    EXPECT_EQ(hex_of(buf, n),
              head + home + "000100ff000000000000" + home + "000100010000003c0004c0000207");

    // Delete only: one update record.
    u.addr = nullptr;
    n = dns_msg_build_update(buf, sizeof buf, &u);
    EXPECT_EQ(hex_of(buf, n), "1e0b2800000100000001"
                              "0000"
                              "076578616d706c650474657374000006"
                              "0001" +
                                  home + "000100ff000000000000");

    // AAAA carries 16 bytes.
    const uint8_t a6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    u = {7, &zone, &owner, DNS_TYPE_AAAA, 300, a6};
    n = dns_msg_build_update(buf, sizeof buf, &u);
    ASSERT_GT(n, 16u);
    EXPECT_EQ(hex_of(buf + n - 26, 26), "001c00010000012c001020010db8000000000000000000000001");

    // Too small a buffer at every length, and an unknown type.
    u.type = DNS_TYPE_AAAA;
    size_t full = dns_msg_build_update(buf, sizeof buf, &u);
    for (size_t cap = 0; cap < full; cap++)
        EXPECT_EQ(dns_msg_build_update(buf, cap, &u), 0u) << cap;
    u.type = DNS_TYPE_SOA;
    EXPECT_EQ(dns_msg_build_update(buf, sizeof buf, &u), 0u);
}

// A signed update as a name server's update tool sent it, with compressed
// names: the parser follows the pointers and finds the TSIG record last.
const char knsupdate_request[] =
    "1e0b28000001000000020001076578616d706c650474657374000006000104686f6d65c00c000100ff0000"
    "00000000c01e000100010000003c0004c00002070a7a6f7276656c2d6b65790000fa00ff00000000003d0b"
    "686d61632d7368613235360000006b1aadd1012c00209cb1675209bd60f73294f9cdeeefc223ed0572be59"
    "84dcbbddd59f6b77f9571a1e0b00000000";

TEST(DnsMsgParse, FindsTheTsigRecordBehindCompressedNames) {
    std::string m = bytes_of_hex(knsupdate_request);
    const auto *p = reinterpret_cast<const uint8_t *>(m.data());
    dns_msg_answer a{};
    ASSERT_TRUE(dns_msg_parse(p, m.size(), &a));
    EXPECT_EQ(a.id, 0x1e0b);
    EXPECT_EQ(a.flags, 0x2800);
    EXPECT_EQ(dns_msg_rcode(&a), 0u);
    EXPECT_EQ(wire(a.tsig_key), "0a7a6f7276656c2d6b657900");
    EXPECT_EQ(a.tsig_rdlen, 0x3du);
    EXPECT_EQ(a.tsig_rdata + a.tsig_rdlen, m.size());

    // Every cut is refused, as is a byte too many.
    for (size_t n = 0; n < m.size(); n++)
        EXPECT_FALSE(dns_msg_parse(p, n, &a)) << n;
    std::string longer = m + '\0';
    EXPECT_FALSE(
        dns_msg_parse(reinterpret_cast<const uint8_t *>(longer.data()), longer.size(), &a));
}

TEST(DnsMsgParse, RefusesBadNamesAndMisplacedTsig) {
    const struct {
        const char *what, *hex;
    } rows[] = {
        {"pointer to itself", "000080000001000000000000"
                              "c00c00060001"},
        {"pointer forwards", "000080000001000000000000"
                             "c00e00060001"
                             "00"},
        {"extended label type", "000080000001000000000000"
                                "4100060001"},
        {"TSIG not last", "000080000000000000000002"
                          "0000fa00ff000000000000"
                          "0000010001000000000000"},
        {"TSIG outside additional", "000080000000000100000000"
                                    "0000fa00ff000000000000"},
    };
    for (const auto &r : rows) {
        std::string m = bytes_of_hex(r.hex);
        dns_msg_answer a{};
        EXPECT_FALSE(dns_msg_parse(reinterpret_cast<const uint8_t *>(m.data()), m.size(), &a))
            << r.what;
    }
    // A 256-byte name made of pointers to earlier labels is refused too.
    std::string m = bytes_of_hex("000080000001000000000000");
    m += bytes_of_hex("3f") + std::string(63, 'a') + '\0';
    size_t prev = 12;
    for (int i = 0; i < 4; i++) {
        size_t here = m.size();
        m += bytes_of_hex("3f") + std::string(63, 'b');
        m += static_cast<char>(0xc0 | prev >> 8);
        m += static_cast<char>(prev & 0xff);
        prev = here;
    }
    m += bytes_of_hex("00060001");
    dns_name n;
    size_t next;
    EXPECT_FALSE(
        dns_msg_read_name(reinterpret_cast<const uint8_t *>(m.data()), m.size(), prev, &n, &next));
}

TEST(DnsMsgParse, RcodeNames) {
    EXPECT_STREQ(dns_msg_rcode_name(0), "NOERROR");
    EXPECT_STREQ(dns_msg_rcode_name(5), "REFUSED");
    EXPECT_STREQ(dns_msg_rcode_name(9), "NOTAUTH");
    EXPECT_EQ(dns_msg_rcode_name(15), nullptr);
}

} // namespace
