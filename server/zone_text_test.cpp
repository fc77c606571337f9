#include "server/zone_text.h"

#include "tests/support/zone_text_in_turn.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
        {"  ;;host Hs A 10.0.0.1 ; x\n", "host Hs A 10.0.0.7 ; x\n"},
        {"host IN A 10.0.0.1\t; the NAS\n", "host IN A 10.0.0.7\t; the NAS\n"},
        {"hOsT A 10.0.0.1\n", "hOsT A 10.0.0.7\n"},
        // Uncommented, the note after the address would be data.
        {"; host A 10.0.0.1 retired 2019\n", "host A 10.0.0.7\n"},
        {"host A\t\t10.0.0.1\r\n", "host A\t\t10.0.0.7\r\n"},
        {"; host is a laptop\n", nullptr},
        {"host IN TXT \"v=spf1 a mx -all\"\n", nullptr},
        {"host IN MX 10 a\n", nullptr},
        {"host IN AAAA ::1\n", nullptr},
        {"host h1 A 10.0.0.1\n", nullptr},
        {"host 1hh A 10.0.0.1\n", nullptr},
        {"host IN A\n", nullptr},
        {"host2 A 10.0.0.1\n", nullptr},
        {"host A ( 10.0.0.1\n", nullptr},
        {"host A 10.0.0.1 )\n", nullptr},
        {"host A \"10.0.0.1\"\n", nullptr},
        {"host A \\# 4 0A000001 ; x\n", "host A 10.0.0.7 ; x\n"},
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
        {"commented out and gone", soa + "; host A 0.0.0.0\n", gone, "absent"},
        {"absent and gone", soa + "www A 10.0.0.1\n", gone, "absent"},
        {"CNAME", soa + "HOST\tCNAME www\n", host7, "cname"},
        {"CNAME on the first line", "host CNAME www\n" + soa, host7, "cname"},
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

// A timed-out record is commented out; records after it that have no owner
// of their own get its owner, so that they keep their name.
TEST(ZoneTextRewrite, TimeoutKeepsTheOwnerOfTheLinesAfter) {
    const std::string soa = "@ SOA ns hm 2026121001 1 1 1 1\n";
    const std::string soa2 = "@ SOA ns hm 2026121002 1 1 1 1\n";
    const zone_text_record mail_gone{"mail", "A", "0.0.0.0", true};
    const zone_text_record mail_back{"mail", "A", "192.0.2.9", false};
    struct row {
        const char *label;
        std::string zone;
        zone_text_record rec;
        std::string want;
    } rows[] = {
        {"owner onto the next line",
         soa + "mail IN A 192.0.2.5\n      IN MX 10 mail\n      IN TXT \"x\"\nwww A 192.0.2.6\n",
         mail_gone,
         soa2 +
             "; mail IN A 0.0.0.0\nmail      IN MX 10 mail\n      IN TXT \"x\"\nwww A 192.0.2.6\n"},
        {"and back", soa + "; mail IN A 0.0.0.0\nmail      IN MX 10 mail\n", mail_back,
         soa2 + "mail IN A 192.0.2.9\nmail      IN MX 10 mail\n"},
        {"past comments, empty lines and $TTL, as the file writes the name",
         soa + "Mail A 192.0.2.5 ; nas\r\n\r\n; x\r\n$TTL 60\r\n\tAAAA ::1\r\n", mail_gone,
         soa2 + "; Mail A 0.0.0.0 ; nas\r\n\r\n; x\r\n$TTL 60\r\nMail\tAAAA ::1\r\n"},
        {"serial after the owner", "$TTL 1\nmail A 192.0.2.5\n SOA ns hm 7 1 1 1 1\n", mail_gone,
         "$TTL 1\n; mail A 0.0.0.0\nmail SOA ns hm 2026121001 1 1 1 1\n"},
        {"owned line after an $ORIGIN", soa + "mail A 192.0.2.5\n$ORIGIN sub\nx A 192.0.2.6\n",
         mail_gone, soa2 + "; mail A 0.0.0.0\n$ORIGIN sub\nx A 192.0.2.6\n"},
        // The owner of the line would have to be written absolutely, or the
        // line stands in another file.
        {"ownerless line after an $ORIGIN", soa + "mail A 192.0.2.5\n$ORIGIN sub\n\tTXT \"x\"\n",
         mail_gone, "owner_continues"},
        {"$INCLUDE after", soa + "mail A 192.0.2.5\n$INCLUDE mail.db\nwww A 192.0.2.6\n", mail_gone,
         "owner_continues"},
    };
    for (const row &r : rows)
        EXPECT_EQ(rewritten(r.zone, r.rec), r.want) << r.label;
}

// A live record line wins over a commented-out one, which is revived only
// when no live line is left.
TEST(ZoneTextRewrite, LiveLineBeforeCommentedOne) {
    const std::string soa = "@ SOA ns hm 2026121001 1 1 1 1\n";
    const std::string soa2 = "@ SOA ns hm 2026121002 1 1 1 1\n";
    const std::string retired = "; home IN A 10.0.0.1 retired 2019\n";
    const zone_text_record home8{"home", "A", "192.0.2.8", false};
    const zone_text_record gone{"home", "A", "0.0.0.0", true};
    struct row {
        const char *label;
        std::string zone;
        zone_text_record rec;
        std::string want;
    } rows[] = {
        {"live line rewritten", soa + retired + "home IN A 192.0.2.7\n", home8,
         soa2 + retired + "home IN A 192.0.2.8\n"},
        {"live line commented out", soa + retired + "home IN A 192.0.2.7\n", gone,
         soa2 + retired + "; home IN A 0.0.0.0\n"},
        {"live line already so", soa + retired + "home IN A 192.0.2.8\n", home8, "unchanged"},
        {"only a commented one", soa + retired, home8, soa2 + "home IN A 192.0.2.8\n"},
        {"only a commented one, gone", soa + retired, gone, "absent"},
        // Revived, it would take the TXT record from the name before it.
        {"commented one before ownerless lines", soa + "; home A 0.0.0.0\n\tTXT \"x\"\n", home8,
         soa2 + "; home A 0.0.0.0\n\tTXT \"x\"\nhome IN A 192.0.2.8\n"},
    };
    for (const row &r : rows)
        EXPECT_EQ(rewritten(r.zone, r.rec), r.want) << r.label;
}

// A new record line goes where the apex is the origin, never under another
// $ORIGIN; record lines and CNAMEs under another origin are other names.
TEST(ZoneTextRewrite, NewLineUnderTheApex) {
    const std::string line = "host IN A 10.0.0.7\n";
    const std::string dump_soa =
        "$ORIGIN .\n$TTL 300\nexample.org IN SOA ns.example.org. hm.example.org. ";
    struct row {
        const char *label;
        std::string zone; // "#" marks the serial, "^" where the new line goes
    } rows[] = {
        {"relative $ORIGIN at the end", "$ORIGIN example.org.\n@ SOA ns hm # 1 1 1 1\n"
                                        "www A 192.0.2.1\n^$ORIGIN sub\nx A 192.0.2.2\n"},
        {"another absolute $ORIGIN at the end",
         "@ SOA ns hm # 1 1 1 1\n^$ORIGIN _domainkey.example.org.\nmail TXT \"k\"\n"},
        {"back at the apex", "$ORIGIN example.org.\n@ SOA ns hm # 1 1 1 1\n$ORIGIN sub\n"
                             "x A 192.0.2.2\n$ORIGIN Example.ORG.\nwww A 192.0.2.1\n^"},
        {"dumped zone", dump_soa + "# 1 1 1 1\n\tNS ns.example.org.\n$ORIGIN example.org.\n"
                                   "ns A 192.0.2.1\n^$ORIGIN sub.example.org.\nx A 192.0.2.2\n"},
        {"$INCLUDE keeps the origin", "@ SOA ns hm # 1 1 1 1\n$INCLUDE k.db sub\n^"},
        {"record line under another origin", "@ SOA ns hm # 1 1 1 1\n^$ORIGIN sub\n"
                                             "host A 10.0.0.1\n"},
        {"CNAME under another origin", "@ SOA ns hm # 1 1 1 1\n^$ORIGIN sub\nhost CNAME x\n"},
        {"stretch before ownerless lines passed over",
         "$ORIGIN example.org.\n@ SOA ns hm # 1 1 1 1\nwww A 192.0.2.1\n^$ORIGIN sub\n"
         "x A 192.0.2.2\n$ORIGIN example.org.\n$ORIGIN c\n\tTXT \"x\"\n"},
        {"before the last owned line of the stretch",
         "@ SOA ns hm # 1 1 1 1\n NS ns\nns A 192.0.2.1\n\tTXT \"x\"\n^www A 192.0.2.2\n"
         "\tTXT \"y\"\n$ORIGIN sub\n\tTXT \"z\"\n"},
        {"line breaks of the file", "@ SOA ns hm # 1 1 1 1\r\nwww A 192.0.2.1\r\n^$ORIGIN sub\r\n"},
        // With no origin to go by but the configured one, never a guess:
        // the end of the SOA record's stretch.
        {"no apex shown", "$ORIGIN example\n@ SOA ns hm # 1 1 1 1\n^$ORIGIN sub\nx A 1.2.3.4\n"},
    };
    for (const row &r : rows) {
        std::string zone = r.zone;
        size_t at = zone.find('^');
        zone.erase(at, 1);
        zone.replace(zone.find('#'), 1, "1");
        std::string want = zone;
        want.replace(want.find(" 1 1 1 1 1"), 2, " 2026121001");
        bool crlf = want.find('\r') != std::string::npos;
        want.insert(at + 9, crlf ? "host IN A 10.0.0.7\r\n" : line);
        EXPECT_EQ(rewritten(zone, host7), want) << r.label;
    }

    // No stretch is left under the apex, but the file says it: an $ORIGIN
    // line for it comes first.
    EXPECT_EQ(rewritten(dump_soa + "1 1 1 1 1\n\tNS ns.example.org.\n", host7),
              dump_soa + "2026121001 1 1 1 1\n\tNS ns.example.org.\n$ORIGIN example.org.\n" + line);
    EXPECT_EQ(
        rewritten("$ORIGIN sub.example.org.\nexample.org. SOA ns hm 1 1 1 1 1\nx A 1.2.3.4", host7),
        "$ORIGIN sub.example.org.\nexample.org. SOA ns hm 2026121001 1 1 1 1\nx A 1.2.3.4\n"
        "$ORIGIN example.org.\n" +
            line);
}

// A burst as an outage leaves it: hosts of the zone move, time out and
// come back, new ones come up with both families. One reading of the zone
// must give the text of the updates in turn, and one serial step.
TEST(ZoneTextBatch, BurstIsOneReading) {
    const std::string zone = "$TTL 300\n@ IN SOA ns hm ( 2026121001 1h 1h 1w 1h )\n"
                             "  IN NS ns\nns IN A 192.0.2.1\n"
                             "h1 IN A 192.0.2.11 ; the NAS\nh2 300 IN A 192.0.2.12\n"
                             "h3 IN AAAA 2001:db8::13\nH4 IN A 192.0.2.14\nh5 IN A 192.0.2.15";
    std::vector<zone_text_record> recs = {
        {"h1", "A", "198.51.100.1", false},   {"h2", "A", "0.0.0.0", true},
        {"h3", "AAAA", "::", true},           {"h4", "A", "198.51.100.4", false},
        {"new", "A", "198.51.100.9", false},  {"new", "AAAA", "2001:db8::9", false},
        {"h1", "AAAA", "2001:db8::1", false}, {"h5", "A", "192.0.2.15", false},
        {"gone", "A", "0.0.0.0", true},       {"ns", "A", "192.0.2.1", false},
    };
    std::string why;
    ASSERT_EQ(zone_text_batch_compare(zone, recs, today, &why), zone_text_batch_check::agrees)
        << why;
    EXPECT_EQ(zone_text_in_turn(zone, recs, today).text,
              "$TTL 300\n@ IN SOA ns hm ( 2026121002 1h 1h 1w 1h )\n"
              "  IN NS ns\nns IN A 192.0.2.1\n"
              "h1 IN A 198.51.100.1 ; the NAS\n; h2 300 IN A 0.0.0.0\n"
              "; h3 IN AAAA ::\nH4 IN A 198.51.100.4\nh5 IN A 192.0.2.15\n"
              "new IN A 198.51.100.9\nnew IN AAAA 2001:db8::9\nh1 IN AAAA 2001:db8::1\n");
}

// What one reading cannot tell from the text alone is left to the updates
// in turn; whatever the batch does do must agree with them.
TEST(ZoneTextBatch, LeftToTheUpdatesInTurn) {
    const std::string soa = "@ SOA ns hm 2026121001 1 1 1 1\n";
    const zone_text_record up{"host", "A", "10.0.0.7", false};
    const zone_text_record down{"host", "A", "0.0.0.0", true};
    const zone_text_record other{"other", "A", "10.0.0.8", false};
    struct row {
        const char *label;
        std::string zone;
        std::vector<zone_text_record> recs;
    } rows[] = {
        {"one record twice", soa + "host A 10.0.0.1\n", {up, other, down}},
        {"the same name in another case", soa, {up, other, {"HOST", "A", "10.0.0.9", false}}},
        {"a commented line to revive", soa + "; host A 10.0.0.1\n", {up, other}},
        {"owners to write out", soa + "host A 10.0.0.1\n  MX 10 host\n", {down, other}},
        {"a new line not at the end", soa + "$ORIGIN sub\nx A 10.0.0.2\n", {up, other}},
        {"a record line before the SOA", "$TTL 1\nhost A 10.0.0.1\n" + soa, {up, other}},
        {"a lead of blanks", soa + "  host A 10.0.0.1\n", {up, other}},
        {"a serial with one successor", "@ SOA ns hm 4294967294 1 1 1 1\n", {up, other}},
    };
    for (const row &r : rows) {
        std::string why;
        EXPECT_EQ(zone_text_batch_compare(r.zone, r.recs, today, &why),
                  zone_text_batch_check::in_turn)
            << r.label << " " << why;
    }
    // One successor is enough for one rewrite; none at all fails every one.
    std::string why;
    EXPECT_EQ(zone_text_batch_compare("@ SOA ns hm 4294967294 1 1 1 1\nhost A 10.0.0.7\n",
                                      std::vector<zone_text_record>{up, other}, today, &why),
              zone_text_batch_check::agrees)
        << why;
    EXPECT_EQ(zone_text_batch_compare("@ SOA ns hm 4294967295 1 1 1 1\n",
                                      std::vector<zone_text_record>{up, other}, today, &why),
              zone_text_batch_check::agrees)
        << why;
}

} // namespace
