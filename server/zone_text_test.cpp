#include "server/zone_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr zone_text_date today{2026, 12, 10};

// The new text, or the status's name when there is none.
std::string rewritten(const std::string &text, const zone_text_record &rec,
                      zone_text_date day = today) {
    zone_text_out out;
    switch (zone_text_rewrite(std::span<const char>(text.data(), text.size()), rec, day, &out)) {
    case zone_text_status::rewrite:
        break;
    case zone_text_status::unchanged:
        return "unchanged";
    case zone_text_status::absent:
        return "absent";
    case zone_text_status::cname:
        return "cname";
    case zone_text_status::no_serial:
        return "no_serial";
    case zone_text_status::invalid_serial:
        return "invalid_serial";
    case zone_text_status::owner_continues:
        return "owner_continues";
    case zone_text_status::bad_name:
        return "bad_name";
    }
    std::string s;
    for (size_t i = 0; i < out.nparts; i++)
        s.append(out.parts[i].data(), out.parts[i].size());
    return s;
}

const zone_text_record host7{"host", "A", "10.0.0.7", false};

TEST(ZoneTextNextSerial, Table) {
    struct row {
        const char *old;
        zone_text_date day;
        long long want; // -1: no successor
    } rows[] = {
        {"2026121001", today, 2026121002},
        {"2026120999", today, 2026121001},
        {"2025123199", today, 2026121001},
        {"2026121098", today, 2026121099},
        {"2026121099", today, 2026121100}, // the count is spent: plus one
        {"2026121100", today, 2026121101}, // dated tomorrow
        {"2026121105", {2026, 12, 11}, 2026121106},
        {"2027010100", today, 2027010101},
        {"1", today, 2026121001},
        {"0002", today, 2026121001},
        {"0000000000", today, 2026121001},
        {"00000000001", today, 2026121001}, // not ten digits: no date in it
        {"3000000000", today, 3000000001},
        {"4294967294", today, 4294967295},
        {"4294967295", today, -1},
        {"9999999999", today, -1},
        {"000000004294967296", today, -1},
        {"123456789012345678901234567890", today, -1},
        {"2026121001", {-1, 0, 0}, 2026121002}, // no usable date
        {"2026121001", {10000, 1, 1}, 2026121002},
    };
    for (const row &r : rows) {
        uint32_t next = 0;
        bool ok = zone_text_next_serial(r.old, r.day, &next);
        EXPECT_EQ(ok ? static_cast<long long>(next) : -1, r.want) << r.old;
    }
}

// Which lines are the record line of "host": only the record syntax.
TEST(ZoneTextRecordLine, Table) {
    const std::string soa = "$TTL 300\n@ SOA ns hm 1 1 1 1 1\n";
    const std::string added = "host IN A 10.0.0.7\n";
    struct row {
        const char *line;
        const char *want; // the line after the update; null: not a record line
    } rows[] = {
        {"host 300 IN A 10.0.0.1\n", "host 300 IN A 10.0.0.7\n"},
        {"host A 10.0.0.1\n", "host A 10.0.0.7\n"},
        {"host IN 300 A 10.0.0.1\n", "host IN 300 A 10.0.0.7\n"},
        {"host\tin\ta\t10.0.0.1\n", "host\tin\ta\t10.0.0.7\n"},
        {"host 2w CH 1d12h a 10.0.0.1\n", "host 2w CH 1d12h a 10.0.0.7\n"},
        {"; host IN A 0.0.0.0\n", "host IN A 10.0.0.7\n"},
        {"  ;;host Hs A 10.0.0.1 ; x\n", "host Hs A 10.0.0.7\n"},
        {"host A\t\t10.0.0.1\r\n", "host A\t\t10.0.0.7\r\n"},
        {"; host is a laptop\n", nullptr},
        {"host IN TXT \"v=spf1 a mx -all\"\n", nullptr},
        {"host IN MX 10 a\n", nullptr},
        {"host IN AAAA ::1\n", nullptr},
        {"host h1 A 10.0.0.1\n", nullptr},
        {"host 1hh A 10.0.0.1\n", nullptr},
        {"host IN A\n", nullptr},
        {"host2 A 10.0.0.1\n", nullptr},
        {"HOST A 10.0.0.1\n", nullptr},
        {"host A ( 10.0.0.1\n", nullptr},
        {"host A 10.0.0.1 )\n", nullptr},
        {"host A \"10.0.0.1\"\n", nullptr},
        {"host A \\# 4 0A000001 ; x\n", "host A 10.0.0.7\n"},
        {"host A \\( 10.0.0.1\n", "host A 10.0.0.7\n"},
    };
    for (const row &r : rows) {
        std::string want = soa + (r.want != nullptr ? r.want : r.line + added);
        want.replace(want.find(" 1 1 1 1 1"), 2, " 2026121001");
        EXPECT_EQ(rewritten(soa + r.line, host7), want) << r.line;
    }
}

// Where the serial is: the third field of the first SOA record.
TEST(ZoneTextSerial, Table) {
    struct row {
        const char *label;
        std::string zone; // "#" marks the serial
        bool found;
    } rows[] = {
        {"directives first", "$ORIGIN example.\n$TTL 1h\n@ IN SOA ns hm # 1 1 1 1\n", true},
        {"origin owner, TTL and class", "example. 3600 in soa ns hm # 1 1 1 1\n", true},
        {"no owner", "\t\tSOA ns hm # 1 1 1 1\n", true},
        {"parentheses and comments", "@ SOA ns. hm. ( ; primary\n ; what\n\n  # ; serial\n 1 )\n",
         true},
        {"parenthesis first", "@ SOA ( ns\r\nhm # ) \n", true},
        {"SOA in earlier data",
         "x TXT \"SOA a b 7\" ; SOA c d 8\nx TXT (\n SOA e f 9 )\n@ SOA ns hm #\n", true},
        {"owner named soa", "soa A 10.0.0.1\nsoa. 300 SOA ns hm # 1 1 1 1\n", true},
        {"escaped blank in a name", "@ SOA ns h\\ m # 1\n", true},
        {"commented SOA only", "; @ SOA ns hm 7 1 1 1 1\n", false},
        {"directive only", "$INCLUDE soa.inc SOA\n", false},
        {"serial not a number", "@ SOA ns hm 1h 1 1 1 1\n", false},
        {"quoted serial", "@ SOA ns hm \"7\" 1 1 1 1\n", false},
        {"cut short", "@ SOA ns hm", false},
        {"SOA cut short by the line end", "x SOA ns\n@ SOA ns hm #\n", true},
        {"first SOA decides", "@ SOA ns hm x\n@ SOA ns hm 7\n", false},
    };
    for (const row &r : rows) {
        std::string zone = r.zone;
        size_t at = zone.find('#');
        ASSERT_EQ(at != std::string::npos, r.found) << r.label;
        if (r.found)
            zone.replace(at, 1, "2026120901");
        std::string out = rewritten(zone, host7);
        if (!r.found) {
            EXPECT_EQ(out, "no_serial") << r.label;
            continue;
        }
        std::string want = zone;
        want.replace(at, 10, "2026121001");
        if (want.back() != '\n')
            want += '\n';
        EXPECT_EQ(out, want + "host IN A 10.0.0.7\n") << r.label;
    }
}

TEST(ZoneTextRewrite, Outcomes) {
    const std::string soa = "@ SOA ns hm 2026121001 1 1 1 1\n";
    const zone_text_record gone{"host", "A", "0.0.0.0", true};
    struct row {
        const char *label;
        std::string zone;
        zone_text_record rec;
        std::string want;
    } rows[] = {
        {"same address", soa + "host A 10.0.0.7\n", host7, "unchanged"},
        {"commented out and gone", soa + "; host A 0.0.0.0\n", gone, "unchanged"},
        {"absent and gone", soa + "www A 10.0.0.1\n", gone, "absent"},
        {"CNAME", soa + "HOST\tCNAME www\n", host7, "cname"},
        {"CNAME on the first line", "host CNAME www\n" + soa, host7, "cname"},
        {"ownerless lines follow", soa + "host A 10.0.0.1\n\n; x\n\tAAAA ::1\n", gone,
         "owner_continues"},
        {"owned lines follow", soa + "host A 10.0.0.1\n ; x\nwww A 10.0.0.2\n", gone,
         "@ SOA ns hm 2026121002 1 1 1 1\n; host A 0.0.0.0\n ; x\nwww A 10.0.0.2\n"},
        {"CNAME gone", soa + "host CNAME www\n", gone, "absent"},
        {"serial without successor", "@ SOA ns hm 4294967295 1\nhost A 10.0.0.1\n", host7,
         "invalid_serial"},
        // No serial matters only when something is to be written.
        {"no SOA, same address", "$TTL 1\nhost A 10.0.0.7\n", host7, "unchanged"},
        {"no SOA", "$TTL 1\nhost A 10.0.0.1\n", host7, "no_serial"},
        {"type is a parameter",
         soa + "host A 10.0.0.1\nhost AAAA ::1\n",
         {"host", "AAAA", "2001:db8::7", false},
         "@ SOA ns hm 2026121002 1 1 1 1\nhost A 10.0.0.1\nhost AAAA 2001:db8::7\n"},
        {"name that is no single token",
         soa + "a b A 10.0.0.1\n",
         {"a b", "A", "10.0.0.7", false},
         "bad_name"},
        {"name with a line break", soa, {"a\nb", "A", "0.0.0.0", true}, "bad_name"},
        {"NUL bytes are data",
         soa + std::string("x 1\0 A \0\n", 9) + std::string("host 1\0 A 10.0.0.1\n", 19), host7,
         "@ SOA ns hm 2026121002 1 1 1 1\n" + std::string("x 1\0 A \0\n", 9) +
             std::string("host 1\0 A 10.0.0.1\n", 19) + "host IN A 10.0.0.7\n"},
        // A line inside parentheses continues another record.
        {"line inside parentheses", "@ SOA ( ns hm\n; host A 0.0.0.0\n 1 2 3 4 5 )\n", host7,
         "@ SOA ( ns hm\n; host A 0.0.0.0\n 2026121001 2 3 4 5 )\nhost IN A 10.0.0.7\n"},
        // A line that would hold the serial is never rewritten as a record.
        {"serial on the record line",
         "$TTL 1\n SOA A ns 5 hm\n",
         {"SOA", "A", "10.0.0.7", false},
         "$TTL 1\n SOA A ns 2026121001 hm\nSOA IN A 10.0.0.7\n"},
    };
    for (const row &r : rows)
        EXPECT_EQ(rewritten(r.zone, r.rec), r.want) << r.label;
}

} // namespace
