#include "server/zone.h"

#include "tests/support/effector_run.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// 2026-12-10 12:00:00 UTC: serials of today read 20261210nn.
constexpr time_t today = 1796904000;

struct addr4 {
    uint8_t b[4];
};

std::string updating(const std::string &path, const std::string &name, const char *dotted) {
    return "Updating zone \"" + path + "\" record \"" + name + "\" to " + dotted + "\n";
}

// Replaces every "PATH" in a message with the zone's path.
std::string with_path(std::string text, const std::string &path) {
    for (size_t at; (at = text.find("PATH")) != std::string::npos;)
        text.replace(at, 4, path);
    return text;
}

std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

ino_t inode_of(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

const char *const soa_today01 = "$TTL 300\n@ SOA ns hm 2026121001 7200 3600 1209600 300\n";

struct zone_case {
    const char *label;
    std::string zone;
    const char *name;
    addr4 addr;
    std::string want;  // empty: the file stays as it was
    const char *error; // the one record after "Updating zone", or null
};

void PrintTo(const zone_case &c, std::ostream *os) {
    *os << c.label;
}

class ZoneTable : public ::testing::TestWithParam<zone_case> {};

TEST_P(ZoneTable, RewritesRecordAndSerial) {
    const zone_case &c = GetParam();
    TempDir dir;
    std::string path = dir.write("example.zone", c.zone);
    ino_t before = inode_of(path);
    FakeClock clock(today);
    LogCapture cap;

    zone_update(path.c_str(), c.name, strlen(c.name), AF_INET, c.addr.b);

    char dotted[16];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", c.addr.b[0], c.addr.b[1], c.addr.b[2],
             c.addr.b[3]);
    std::vector<log_record> want_log{{LOG_INFO, updating(path, c.name, dotted)}};
    if (c.error != nullptr)
        want_log.push_back({LOG_ERR, with_path(c.error, path)});
    EXPECT_EQ(cap.records(), want_log);
    if (c.want.empty()) {
        EXPECT_EQ(read_file(path), c.zone);
        EXPECT_EQ(inode_of(path), before) << "the zone was written although unchanged";
    } else {
        EXPECT_EQ(read_file(path), c.want);
    }
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"example.zone"});
}

const std::string soa = "$TTL 300\n@ SOA ns hm ";
const std::string soa_tail = " 7200 3600 1209600 300\n";
std::string zone_with(const char *serial, const std::string &records) {
    return soa + serial + soa_tail + records;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZoneTable,
    ::testing::Values(
        zone_case{
            "CountAdvancesToday",
            zone_with("2026121001", "ns IN A 10.0.0.53\nhost IN A 10.0.0.1\nwww IN A 1.2.3.4\n"),
            "host",
            {{10, 0, 0, 7}},
            zone_with("2026121002", "ns IN A 10.0.0.53\nhost IN A 10.0.0.7\nwww IN A 1.2.3.4\n"),
            nullptr},
        zone_case{"YesterdayAt99",
                  zone_with("2026120999", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121001", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"EarlierYearDec31At99",
                  zone_with("2025123199", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121001", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"EarlierYearBadMonthAndDay",
                  zone_with("2025139999", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121001", "host IN A 10.0.0.7\n"),
                  nullptr},
        // A serial the date cannot pass still goes up by one.
        zone_case{"TodayAt99",
                  zone_with("2026121099", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121100", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"Tomorrow",
                  zone_with("2026121100", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121101", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"LargerThanAnyDate",
                  zone_with("4000000000", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("4000000001", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"LastSerialThatAdvances",
                  zone_with("4294967294", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("4294967295", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"SerialWithoutSuccessor",
                  zone_with("4294967295", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Invalid serial \"4294967295\" from zone \"PATH\"\n"},
        zone_case{"SerialBeyond32Bits",
                  zone_with("99999999999", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Invalid serial \"9999999999\" from zone \"PATH\"\n"},
        // Short serials (Debian's and many hand-kept zones) grow to a date.
        zone_case{"ShortSerialBecomesDate",
                  zone_with("1", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121001", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"ZeroPaddedShortSerial",
                  zone_with("0002", "www IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121001", "www IN A 10.0.0.1\nhost IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"TimeoutCommentsOutIndentedLine",
                  zone_with("2026121001", "  host 300 IN A 10.0.0.1 ; office\nwww A 1.2.3.4\n"),
                  "host",
                  {{0, 0, 0, 0}},
                  zone_with("2026121002", "; host 300 IN A 0.0.0.0 ; office\nwww A 1.2.3.4\n"),
                  nullptr},
        zone_case{"ReturnRevivesCommentedLine",
                  zone_with("2026121002", "; host 300 IN A 0.0.0.0\n"),
                  "host",
                  {{10, 0, 0, 9}},
                  zone_with("2026121003", "host 300 IN A 10.0.0.9\n"),
                  nullptr},
        zone_case{"NoRecordAppendsOne",
                  zone_with("2026121001", "www IN A 1.2.3.4\n"),
                  "host",
                  {{192, 0, 2, 255}},
                  zone_with("2026121002", "www IN A 1.2.3.4\nhost IN A 192.0.2.255\n"),
                  nullptr},
        zone_case{"NoRecordAndGoneWritesNothing",
                  zone_with("2026121001", "www IN A 1.2.3.4\n"),
                  "host",
                  {{0, 0, 0, 0}},
                  "",
                  nullptr},
        zone_case{"FirstLineNeverExamined",
                  "host IN A 10.0.0.1\n@ SOA ns hm 2026121001 1 1 1 1\n",
                  "host",
                  {{10, 0, 0, 7}},
                  "host IN A 10.0.0.1\n@ SOA ns hm 2026121002 1 1 1 1\nhost IN A 10.0.0.7\n",
                  nullptr},
        zone_case{"AaaaBeforeA",
                  zone_with("2026121001", "host IN AAAA ::1\nhost IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "host IN AAAA ::1\nhost IN A 10.0.0.7\n"),
                  nullptr},
        // No change, no write: the serial stays too.
        zone_case{"SameAddressWritesNothing",
                  zone_with("2026121001", "host A 10.0.0.7\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  nullptr},
        zone_case{"AlreadyCommentedOutWritesNothing",
                  zone_with("2026121001", "; host A 0.0.0.0\n"),
                  "host",
                  {{0, 0, 0, 0}},
                  "",
                  nullptr},
        zone_case{"SameAddressWithCommentWritesNothing",
                  zone_with("2026121001", "host A 10.0.0.7 ; office\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  nullptr},
        zone_case{"LastLineWithoutBreak",
                  zone_with("2026121001", "host IN A 10.0.0.1"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"CrLfKept",
                  "$TTL 300\r\n@ SOA ns hm 2026121001 1 1 1 1\r\n\r\nhost\tIN\tA\t10.0.0.1 ; x\r\n"
                  "www IN A 1.2.3.4\r\n",
                  "host",
                  {{10, 0, 0, 7}},
                  "$TTL 300\r\n@ SOA ns hm 2026121002 1 1 1 1\r\n\r\nhost\tIN\tA\t10.0.0.7 ; x\r\n"
                  "www IN A 1.2.3.4\r\n",
                  nullptr},
        zone_case{"CaseOfNameDoesNotMatter",
                  zone_with("2026121001", "HOST IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "HOST IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"LongerNameIsAnotherHost",
                  zone_with("2026121001", "host2 IN A 10.0.0.2\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "host2 IN A 10.0.0.2\nhost IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{
            "TokenOnlyOnTheNameLine",
            zone_with("2026121001", "host IN TXT \"x\"\nwww IN A 10.0.0.2\n"),
            "host",
            {{10, 0, 0, 7}},
            zone_with("2026121002", "host IN TXT \"x\"\nwww IN A 10.0.0.2\nhost IN A 10.0.0.7\n"),
            nullptr},
        zone_case{"AppendAfterLastLineWithoutBreak",
                  zone_with("2026121001", "www IN A 1.2.3.4"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "www IN A 1.2.3.4\nhost IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"ElevenDigitsPassedOver",
                  "; ref 20261210011\n" + zone_with("2026121001", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "; ref 20261210011\n" + zone_with("2026121002", "host IN A 10.0.0.7\n"),
                  nullptr},
        // Ten-digit numbers outside the SOA serial are data, not the serial.
        zone_case{"PhoneNumberOnFirstLine",
                  "; NOC +49 3012345678\n" + zone_with("1", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "; NOC +49 3012345678\n" + zone_with("2026121001", "host IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{
            "TenDigitsInTxt",
            zone_with("1", "info IN TXT \"ticket 2024111501 closed\"\nhost A 10.0.0.1\n"),
            "host",
            {{10, 0, 0, 7}},
            zone_with("2026121001", "info IN TXT \"ticket 2024111501 closed\"\nhost A 10.0.0.7\n"),
            nullptr},
        zone_case{"SerialAfterRecordAtEndOfText",
                  "$TTL 300\nhost IN A 10.0.0.1\n@ SOA ns hm 2026121001",
                  "host",
                  {{10, 0, 0, 7}},
                  "$TTL 300\nhost IN A 10.0.0.7\n@ SOA ns hm 2026121002",
                  nullptr},
        zone_case{"EmptyFile",
                  "",
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Unable to find serial in zone \"PATH\"\n"},
        zone_case{"NoSoaRecord",
                  "$TTL 300\nhost IN A 10.0.0.1\n; @ SOA ns hm 2026121001 1 1 1 1\n",
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Unable to find serial in zone \"PATH\"\n"},
        zone_case{"SerialFieldNotANumber",
                  zone_with("1h", "host IN A 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Unable to find serial in zone \"PATH\"\n"},
        // Lines that merely hold the name and a lone "a" are no records.
        zone_case{"CommentNamingTheHost",
                  zone_with("2026121001", "; home is a laptop; its address is kept by zorvel\n"
                                          "home IN A 10.0.0.1\n"),
                  "home",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "; home is a laptop; its address is kept by zorvel\n"
                                          "home IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{
            "SpfBeforeRecordOnTimeout",
            zone_with("2026121001", "home IN TXT \"v=spf1 a mx -all\"\nhome IN A 10.0.0.1\n"),
            "home",
            {{0, 0, 0, 0}},
            zone_with("2026121002", "home IN TXT \"v=spf1 a mx -all\"\n; home IN A 0.0.0.0\n"),
            nullptr},
        zone_case{"MxTargetNamedA",
                  zone_with("2026121001", "home IN MX 10 a\n"),
                  "home",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "home IN MX 10 a\nhome IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"TtlAndClassInAnyOrder",
                  zone_with("2026121001", "host in 1h30m a 10.0.0.1\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "host in 1h30m a 10.0.0.7\n"),
                  nullptr},
        zone_case{"ParenthesesBalancedOnTheLine",
                  zone_with("2026121001", "host A ( 10.0.0.1 ) ; x\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "host A 10.0.0.7 ; x\n"),
                  nullptr},
        // Nothing may stand beside a CNAME; a commented one does not count.
        zone_case{"CnameBlocksTheRecord",
                  zone_with("2026121001", "Host 300 IN CNAME mail\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  "",
                  "Not adding a record beside the CNAME of \"host\" in zone \"PATH\"\n"},
        zone_case{"OwnerlessLinesAfterTheRecordOnTimeout",
                  zone_with("2026121001", "host IN A 10.0.0.1\n\tIN AAAA 2001:db8::1\n"),
                  "host",
                  {{0, 0, 0, 0}},
                  zone_with("2026121002", "; host IN A 0.0.0.0\nhost\tIN AAAA 2001:db8::1\n"),
                  nullptr},
        zone_case{"OwnerlessLinesAfterAnOriginOnTimeout",
                  zone_with("2026121001", "host IN A 10.0.0.1\n$ORIGIN sub\n\tIN AAAA ::1\n"),
                  "host",
                  {{0, 0, 0, 0}},
                  "",
                  "Not commenting out record \"host\" in zone \"PATH\": the lines after it have "
                  "no owner of their own\n"},
        zone_case{"NameThatCannotBeAnOwner",
                  zone_with("2026121001", "www IN A 10.0.0.1\n"),
                  "a;b",
                  {{10, 0, 0, 7}},
                  "",
                  "Name \"a;b\" cannot stand as a record owner in zone \"PATH\"\n"},
        zone_case{"CommentedCnameDoesNotBlock",
                  zone_with("2026121001", "; host CNAME mail\n"),
                  "host",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "; host CNAME mail\nhost IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"OneLetterNameIsNotItsOwnToken",
                  zone_with("2026121001", " a 10.0.0.1\n"),
                  "a",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", " a 10.0.0.1\na IN A 10.0.0.7\n"),
                  nullptr},
        zone_case{"OneLetterNameCommentedWithLowerToken",
                  zone_with("2026121001", ";;\tA a 10.0.0.1\n"),
                  "A",
                  {{10, 0, 0, 7}},
                  zone_with("2026121002", "A a 10.0.0.7\n"),
                  nullptr}),
    [](const ::testing::TestParamInfo<zone_case> &i) { return std::string(i.param.label); });

// Builds a chain of atom nodes (a "(list)" entry becomes an empty list).
struct atom_chain {
    std::vector<std::string> texts;
    std::vector<sx_node> nodes;
    explicit atom_chain(std::vector<std::string> t) : texts(std::move(t)), nodes(texts.size()) {
        for (size_t i = 0; i < texts.size(); i++) {
            bool list = texts[i] == "(list)";
            nodes[i] = {list ? nullptr : texts[i].data(), list ? SX_LIST : texts[i].size(),
                        i + 1 < texts.size() ? &nodes[i + 1] : nullptr};
        }
    }
    const sx_node *first() const { return nodes.empty() ? nullptr : &nodes[0]; }
};

// The AAAA line follows the A line's rules, and neither family's update
// touches the other's line.
TEST(ZoneFamilies, EachFamilyKeepsItsOwnLine) {
    const uint8_t v4[4] = {10, 0, 0, 7};
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    const uint8_t none6[16] = {};
    const struct {
        const char *label;
        std::string records;
        int family;
        const uint8_t *addr;
        std::string want; // empty: unchanged
    } rows[] = {
        {"AAAA line updated, A line kept", "host IN A 10.0.0.1\nhost 300 in aaaa 2001:db8::1\n",
         AF_INET6, v6, "host IN A 10.0.0.1\nhost 300 in aaaa 2001:db8::7\n"},
        {"AAAA appended after the A line", "host IN A 10.0.0.1\n", AF_INET6, v6,
         "host IN A 10.0.0.1\nhost IN AAAA 2001:db8::7\n"},
        {"A appended, AAAA line kept", "host IN AAAA 2001:db8::1\n", AF_INET, v4,
         "host IN AAAA 2001:db8::1\nhost IN A 10.0.0.7\n"},
        {"A line updated, AAAA line kept", "host IN AAAA 2001:db8::1\nhost IN A 10.0.0.1\n",
         AF_INET, v4, "host IN AAAA 2001:db8::1\nhost IN A 10.0.0.7\n"},
        {"AAAA commented out on a timeout", "host IN A 10.0.0.1\nhost IN AAAA 2001:db8::1\n",
         AF_INET6, none6, "host IN A 10.0.0.1\n; host IN AAAA ::\n"},
        {"commented AAAA comes back", "; host IN AAAA ::\n", AF_INET6, v6,
         "host IN AAAA 2001:db8::7\n"},
        {"no AAAA line and gone: nothing", "host IN A 10.0.0.1\n", AF_INET6, none6, ""},
        {"same address: nothing", "host IN AAAA 2001:db8::7\n", AF_INET6, v6, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        TempDir dir;
        std::string zone = zone_with("2026121001", r.records);
        std::string path = dir.write("example.zone", zone);
        FakeClock clock(today);
        LogCapture cap;
        zone_update(path.c_str(), "host", 4, r.family, r.addr);
        const char *text =
            r.family == AF_INET6 ? (r.addr == v6 ? "2001:db8::7" : "::") : "10.0.0.7";
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{{LOG_INFO, updating(path, "host", text)}}));
        EXPECT_EQ(read_file(path), r.want.empty() ? zone : zone_with("2026121002", r.want));
    }
}

TEST(EffectorZone, MissingFileDoesNotStopTheOthers) {
    TempDir dir;
    std::string a = dir.write("a.zone", zone_with("2026121001", "host IN A 10.0.0.1\n"));
    std::string b = dir.write("b.zone", zone_with("2026120301", "www IN A 10.0.0.2\n"));
    std::string missing = dir.file("missing.zone");
    FakeClock clock(today);
    LogCapture cap;
    atom_chain args({a, "(list)", "", missing, b});
    const uint8_t addr[4] = {10, 0, 0, 7};

    effector_zone(args.first(), "host", 4, AF_INET, addr);

    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_INFO, updating(a, "host", "10.0.0.7")},
                                 {LOG_INFO, updating(missing, "host", "10.0.0.7")},
                                 {LOG_ERR, "Unable to read zone file \"" + missing + "\"\n"},
                                 {LOG_INFO, updating(b, "host", "10.0.0.7")},
                             }));
    EXPECT_EQ(read_file(a), zone_with("2026121002", "host IN A 10.0.0.7\n"));
    EXPECT_EQ(read_file(b), zone_with("2026121001", "www IN A 10.0.0.2\nhost IN A 10.0.0.7\n"));
}

TEST(EffectorZone, NothingToDo) {
    TempDir dir;
    std::string a = dir.write("a.zone", soa_today01);
    const uint8_t addr[4] = {10, 0, 0, 7};
    atom_chain only_lists({"(list)", "", "(list)"});
    atom_chain path({a});
    LogCapture cap;

    effector_zone(nullptr, "host", 4, AF_INET, addr);
    effector_zone(only_lists.first(), "host", 4, AF_INET, addr);
    effector_zone(path.first(), "", 0, AF_INET, addr); // an account without a name

    EXPECT_EQ(cap.records(), std::vector<log_record>{});
    EXPECT_EQ(read_file(a), soa_today01);
}

TEST(EffectorZone, PathWithNulIsNotCutShort) {
    TempDir dir;
    std::string a = dir.write("a.zone", soa_today01);
    std::string with_nul = a + std::string(1, '\0') + ".bak";
    atom_chain args({with_nul});
    const uint8_t addr[4] = {10, 0, 0, 7};
    LogCapture cap;

    effector_zone(args.first(), "host", 4, AF_INET, addr);

    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_INFO, updating(a, "host", "10.0.0.7")},
                                 {LOG_ERR, "Unable to read zone file \"" + a + "\"\n"},
                             }));
    EXPECT_EQ(read_file(a), soa_today01);
}

// Runs body in a forked child (so it may lower limits or drop privileges)
// and returns what it logged, every record's text in order, with body's
// result in *rc; "" and a failed expectation when the child does not finish
// in time or dies.
std::string logged_in_child(const std::function<int()> &body, int *rc) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return "";
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out;
        {
            LogCapture cap;
            int r = body();
            for (const std::string &t : cap.texts())
                out += t;
            // The result after a byte no record holds.
            out += '\x01' + std::to_string(r);
        }
        size_t done = 0;
        while (done < out.size()) {
            ssize_t w = write(fds[1], out.data() + done, out.size() - done);
            if (w <= 0)
                _exit(2);
            done += static_cast<size_t>(w);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[4096];
    for (int rounds = 0; rounds < 100; rounds++) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (!wait_gone(pid, 10s)) {
        ADD_FAILURE() << "child still running";
        kill(pid, SIGKILL);
        wait_gone(pid, 10s);
    }
    size_t sep = got.rfind('\x01');
    if (sep == std::string::npos) {
        ADD_FAILURE() << "child gave no result: " << got;
        return "";
    }
    if (rc != nullptr)
        *rc = atoi(got.c_str() + sep + 1);
    got.resize(sep);
    return got;
}

std::string logged_in_child(const std::function<void()> &body) {
    return logged_in_child(
        [&] {
            body();
            return 0;
        },
        nullptr);
}

// A zone larger than the file size limit: the new zone cannot be written
// whole, and the old one must survive byte for byte.
TEST(ZoneReplace, FailedWriteLeavesZoneIntact) {
    TempDir dir;
    std::string records;
    for (int i = 0; i < 2000; i++)
        records += "h" + std::to_string(i) + " IN A 10.0." + std::to_string(i / 250) + "." +
                   std::to_string(i % 250) + "\n";
    const std::string host_line = "host IN A 10.0.0.1\n";
    std::string zone = zone_with("2026121001", records + host_line);
    std::string path = dir.write("big.zone", zone);
    ASSERT_GT(zone.size(), 16384u * 2);

    std::string log = logged_in_child([&] {
        rlimit lim{16384, 16384};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &lim);
        FakeClock clock(today);
        const uint8_t addr[4] = {10, 0, 0, 7};
        zone_update(path.c_str(), "host", 4, AF_INET, addr);
    });

    std::string head =
        updating(path, "host", "10.0.0.7") + "Short write to zone file \"" + path + "\" (";
    EXPECT_EQ(log.substr(0, head.size()), head) << log;
    EXPECT_EQ(read_file(path), zone);
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"big.zone"});
}

TEST(ZoneReplace, KeepsModeAndOwnerAndReplacesTheFile) {
    TempDir dir;
    std::string path = dir.write("example.zone", zone_with("2026121001", "host A 10.0.0.1\n"));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    }
    ino_t before = inode_of(path);
    FakeClock clock(today);
    LogCapture cap;
    const uint8_t addr[4] = {10, 0, 0, 7};

    zone_update(path.c_str(), "host", 4, AF_INET, addr);

    EXPECT_EQ(read_file(path), zone_with("2026121002", "host A 10.0.0.7\n"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(st.st_ino, before) << "rewritten in place instead of renamed";
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"example.zone"});
}

TEST(ZoneReplace, SymbolicLinkKeepsPointingAtTheZone) {
    TempDir dir;
    std::string real = dir.write("real.zone", zone_with("2026121001", "host A 10.0.0.1\n"));
    std::string link = dir.file("link.zone");
    ASSERT_EQ(symlink("real.zone", link.c_str()), 0);
    FakeClock clock(today);
    LogCapture cap;
    const uint8_t addr[4] = {10, 0, 0, 7};

    zone_update(link.c_str(), "host", 4, AF_INET, addr);

    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), zone_with("2026121002", "host A 10.0.0.7\n"));
    auto names = dir_entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"link.zone", "real.zone"}));
}

// A server that switched to a user who may write the zone but not its
// directory still updates it, in place.
TEST(ZoneReplace, DirectoryNotWritableFallsBackToInPlace) {
    TempDir dir;
    std::string zone = zone_with("2026121001", "host A 10.0.0.1\n");
    std::string path = dir.write("example.zone", zone);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    bool root = geteuid() == 0;
    ASSERT_EQ(chmod(dir.path().c_str(), root ? 0755 : 0555), 0);
    ino_t before = inode_of(path);

    std::string log = logged_in_child([&] {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        FakeClock clock(today);
        const uint8_t addr[4] = {10, 0, 0, 7};
        zone_update(path.c_str(), "host", 4, AF_INET, addr);
    });
    chmod(dir.path().c_str(), 0755);

    EXPECT_EQ(log, updating(path, "host", "10.0.0.7"));
    EXPECT_EQ(read_file(path), zone_with("2026121002", "host A 10.0.0.7\n"));
    EXPECT_EQ(inode_of(path), before);
}

// A small tmpfs over a directory of its own inside a TempDir, unmounted
// before the TempDir goes.
struct small_fs {
    TempDir dir;
    std::string root = dir.file("fs");
    bool mounted = false;
    std::string why;
    explicit small_fs(const std::string &options) {
        if (mkdir(root.c_str(), 0755) != 0)
            why = "mkdir";
        else
            mounted = mount_small_tmpfs(root, options, &why);
    }
    ~small_fs() {
        if (mounted)
            unmount_small_tmpfs(root);
    }
    std::string file(const std::string &name) const { return root + "/" + name; }
};

// Writes 4 KiB blocks to path until the file system refuses one; the
// count of blocks written. Bounded by the file system's size.
int fill_blocks(const std::string &path, int limit) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return -1;
    static const std::string block(4096, 'x');
    int n = 0;
    while (n < limit && write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size()))
        n++;
    close(fd);
    return n;
}

// Makes empty files until no inode is left; the count made.
int fill_inodes(const std::string &dir, int limit) {
    int n = 0;
    for (; n < limit; n++) {
        int fd = open((dir + "/i" + std::to_string(n)).c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0)
            break;
        close(fd);
    }
    return n;
}

// A zone of 8191 bytes, whose update to 10.0.0.123 makes it two bytes
// longer: the new zone needs one block more than the old one holds.
std::string zone_of_8191() {
    std::string z = zone_with("2026121001", "host IN A 10.0.0.1\n");
    std::string pad = "; " + std::string(8191 - z.size() - 3, 'p') + "\n";
    return z + pad;
}

// A full file system refuses the update, whatever it lacks and whichever
// way the zone is written; the zone stays byte for byte, no temporary is
// left, the record names the cause, and once there is room again the
// update goes through.
TEST(ZoneReplace, FullDiskLeavesTheZoneWholeUntilThereIsRoom) {
    const std::string nospc = strerror(ENOSPC);
    const struct {
        const char *label;
        bool no_inode;    // else no block left
        int blocks_freed; // of the ballast, before the update
        bool in_place;    // as a user who may not write the directory
        std::string head; // the failure record starts with this, PATH for the zone
        std::string tail; // and ends with this
    } rows[] = {
        {"no block left", false, 0, false,
         "Short write to zone file \"PATH\" (0/8193): ", nospc + "\n"},
        {"room for part of the zone", false, 1, false,
         "Short write to zone file \"PATH\" (4096/8193): ", nospc + "\n"},
        {"no inode left", true, 0, false, "Unable to write zone file \"PATH\": ", nospc + "\n"},
        {"in place, no block left", false, 0, true,
         "Unable to reserve 8193 bytes to rewrite zone file \"PATH\" in place: ", nospc + "\n"},
    };
    const std::string zone = zone_of_8191();
    ASSERT_EQ(zone.size(), 8191u);
    const std::string updated =
        zone_with("2026121002", "host IN A 10.0.0.123\n") + zone.substr(zone.find("; p"));
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        small_fs fs("size=64k,nr_inodes=32,mode=0755");
        if (!fs.mounted)
            GTEST_SKIP() << "no small file system to fill: " << fs.why;
        std::string path = fs.file("example.zone");
        write_file(path, zone);
        ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        std::string ballast = fs.file("ballast");
        if (r.no_inode) {
            ASSERT_GT(fill_inodes(fs.root, 64), 0);
        } else {
            int blocks = fill_blocks(ballast, 64);
            ASSERT_GT(blocks, 0);
            ASSERT_EQ(truncate(ballast.c_str(), (blocks - r.blocks_freed) * 4096), 0);
        }
        auto entries = dir_entries(fs.root);
        std::sort(entries.begin(), entries.end());
        // As root a server may write any directory; the in-place rows run
        // as nobody, in a child.
        auto update = [&](int *rc) {
            return logged_in_child(
                [&] {
                    if (r.in_place && (setgid(65534) != 0 || setuid(65534) != 0))
                        _exit(3);
                    FakeClock clock(today);
                    const uint8_t addr[4] = {10, 0, 0, 123};
                    return zone_update(path.c_str(), "host", 4, AF_INET, addr);
                },
                rc);
        };
        int rc = 0;
        std::string log = update(&rc);
        EXPECT_EQ(rc, -1);
        std::string head = updating(path, "host", "10.0.0.123") + with_path(r.head, path);
        EXPECT_EQ(log.substr(0, head.size()), head) << log;
        EXPECT_GE(log.size(), head.size() + r.tail.size());
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), r.tail.size())), r.tail) << log;
        EXPECT_EQ(read_file(path), zone);
        auto after = dir_entries(fs.root);
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, entries) << "a temporary was left";

        if (r.no_inode)
            ASSERT_EQ(unlink((fs.root + "/i0").c_str()), 0);
        else
            ASSERT_EQ(unlink(ballast.c_str()), 0);
        ino_t before = inode_of(path);
        EXPECT_EQ(update(&rc), updating(path, "host", "10.0.0.123"));
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(read_file(path), updated);
        EXPECT_EQ(inode_of(path) == before, r.in_place);
    }
}

// A server that is not root keeps the zone's group where it may (a member
// of the group) and refuses the update where it may not keep the owner or
// the group: a name server that reads the zone through either must go on
// reading it.
TEST(ZoneReplace, OwnerAndGroupAreKeptOrTheUpdateRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a zone another owner and group needs root";
    constexpr gid_t zone_group = 4242;
    enum outcome { replaced, in_place, refused };
    const struct {
        const char *label;
        uid_t uid;
        gid_t gid;
        mode_t mode;
        bool member; // the server is in zone_group
        outcome out;
    } rows[] = {
        {"group kept by a member", 65534, zone_group, 0664, true, replaced},
        // Only root gives a file away: written where it stands instead.
        {"group of a stranger", 65534, zone_group, 0664, false, in_place},
        {"root's zone written through its group", 0, zone_group, 0664, true, in_place},
        {"root's zone the server may not write", 0, zone_group, 0644, true, refused},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        TempDir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        std::string zone = zone_with("2026121001", "host A 10.0.0.1\n");
        std::string path = dir.write("example.zone", zone);
        ASSERT_EQ(chown(path.c_str(), r.uid, r.gid), 0);
        ASSERT_EQ(chmod(path.c_str(), r.mode), 0);
        struct stat was {};
        ASSERT_EQ(stat(path.c_str(), &was), 0);

        int rc = 0;
        std::string log = logged_in_child(
            [&] {
                gid_t groups[] = {zone_group};
                if (setgroups(r.member ? 1 : 0, groups) != 0 || setgid(65534) != 0 ||
                    setuid(65534) != 0)
                    _exit(3);
                FakeClock clock(today);
                const uint8_t addr[4] = {10, 0, 0, 7};
                return zone_update(path.c_str(), "host", 4, AF_INET, addr);
            },
            &rc);

        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, r.uid);
        EXPECT_EQ(st.st_gid, r.gid);
        EXPECT_EQ(st.st_mode & 07777, r.mode);
        EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"example.zone"});
        if (r.out == refused) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(log, updating(path, "host", "10.0.0.7") +
                               with_path("Unable to write zone file \"PATH\": ", path) +
                               strerror(EACCES) + "\n");
            EXPECT_EQ(read_file(path), zone);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(log, updating(path, "host", "10.0.0.7"));
            EXPECT_EQ(read_file(path), zone_with("2026121002", "host A 10.0.0.7\n"));
            EXPECT_EQ(st.st_ino == was.st_ino, r.out == in_place);
        }
    }
}

// A server killed while it writes leaves at most its one temporary beside
// the zone, however often it happens, and the next write takes its place.
TEST(ZoneReplace, KilledWritesLeaveAtMostOneTemporary) {
    TempDir dir;
    std::string records;
    for (int i = 0; i < 20000; i++)
        records += "h" + std::to_string(i) + " IN A 10.1." + std::to_string(i / 250) + "." +
                   std::to_string(i % 250) + "\n";
    std::string path =
        dir.write("big.zone", zone_with("2026121001", records + "host A 10.0.0.1\n"));
    const std::string temp = ".big.zone.zorvel-tmp";
    int caught = 0;
    for (int round = 0; round < 20; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            LogCapture cap;
            FakeClock clock(today + round * 86400 * 200);
            for (uint8_t i = 1; i < 200; i++) {
                // A day a write: the serial never runs out of counts.
                clock.advance(86400);
                const uint8_t addr[4] = {10, 0, 0, i};
                zone_update(path.c_str(), "host", 4, AF_INET, addr);
            }
            _exit(0);
        }
        if (wait_until([&] { return file_exists(dir.file(temp)); }, 5s))
            caught++;
        kill(pid, SIGKILL);
        ASSERT_TRUE(wait_gone(pid, 10s));
        auto names = dir_entries(dir.path());
        std::sort(names.begin(), names.end());
        EXPECT_TRUE(names == std::vector<std::string>{"big.zone"} ||
                    names == (std::vector<std::string>{temp, "big.zone"}))
            << names.size() << " entries";
    }
    EXPECT_GT(caught, 0) << "no write was ever caught half done";
    FakeClock clock(today + 30 * 86400 * 200);
    LogCapture cap;
    const uint8_t addr[4] = {10, 0, 0, 250};
    EXPECT_EQ(zone_update(path.c_str(), "host", 4, AF_INET, addr), 0);
    EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"big.zone"});
    EXPECT_NE(read_file(path).find("host A 10.0.0.250\n"), std::string::npos);
}

// The zone as a name server would load it: "" when the checker accepts
// it, else what the checker said.
std::string checker_verdict(const std::string &path) {
    std::string cmd = "kzonecheck -o example.test. '" + path + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return "popen failed";
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    return status == 0 ? "" : "status " + std::to_string(status) + ": " + out;
}

std::string example_zone(const char *serial, const std::string &host_line,
                         const std::string &tail = "") {
    return "$ORIGIN example.test.\n"
           "$TTL 300\n"
           "@\tIN\tSOA\tns1.example.test. hostmaster.example.test. (\n"
           "\t\t\t" +
           std::string(serial) +
           " ; serial\n"
           "\t\t\t7200 3600 1209600 300 )\n"
           "\tIN\tNS\tns1\n"
           "ns1\tIN\tA\t192.0.2.1\n" +
           host_line + "\nwww\tIN\tCNAME\thost\n" + tail;
}

// An account's life in a real zone: every file written is one a name
// server loads, with the serial it must carry.
TEST(ZoneChecked, AccountLifeKeepsZoneLoadable) {
    ASSERT_EQ(system("command -v kzonecheck >/dev/null 2>&1"), 0)
        << "the zone checker kzonecheck is missing: install the Debian package "
           "knot-dnssecutils (scripts/install-deps)";
    TempDir dir;
    std::string path = dir.write(
        "example.test.zone", example_zone("2026120907", "host\t300\tIN\tA\t192.0.2.10 ; office"));
    ASSERT_EQ(checker_verdict(path), "");
    FakeClock clock(today);
    LogCapture cap;

    struct step {
        const char *name;
        addr4 addr;
        time_t advance;
        std::string want;
    };
    const step steps[] = {
        {"host",
         {{192, 0, 2, 20}},
         0,
         example_zone("2026121001", "host\t300\tIN\tA\t192.0.2.20 ; office")},
        {"host",
         {{0, 0, 0, 0}},
         0,
         example_zone("2026121002", "; host\t300\tIN\tA\t0.0.0.0 ; office")},
        {"host",
         {{192, 0, 2, 30}},
         0,
         example_zone("2026121003", "host\t300\tIN\tA\t192.0.2.30 ; office")},
        {"laptop",
         {{198, 51, 100, 4}},
         0,
         example_zone("2026121004", "host\t300\tIN\tA\t192.0.2.30 ; office",
                      "laptop IN A 198.51.100.4\n")},
        {"laptop",
         {{198, 51, 100, 5}},
         86400,
         example_zone("2026121101", "host\t300\tIN\tA\t192.0.2.30 ; office",
                      "laptop IN A 198.51.100.5\n")},
    };
    for (const step &s : steps) {
        clock.advance(s.advance);
        zone_update(path.c_str(), s.name, strlen(s.name), AF_INET, s.addr.b);
        EXPECT_EQ(read_file(path), s.want) << s.name;
        EXPECT_EQ(checker_verdict(path), "") << s.name;
    }
    for (const log_record &r : cap.records())
        EXPECT_EQ(r.priority, LOG_INFO) << r.text;
}

} // namespace
