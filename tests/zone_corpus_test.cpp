// The zone effector on zone files that people wrote for name servers
// (tests/zones, sources in tests/zones/NOTICE) and on zones written after
// the ways a text edit damages a zone. For each zone and a few account names
// an account comes up, times out and comes back; after every step both
// checkers must load the zone, the loaded data must differ from what was
// loaded before only in the SOA serial and the account's address, and the
// text only in the record line and the serial.
#include "server/zone.h"

#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/zone_text_in_turn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// 2026-12-10 12:00:00 UTC.
constexpr time_t today = 1796904000;

struct corpus_zone {
    const char *file;
    const char *origin;
    bool knot_loads; // whether kzonecheck loads the original at all
    std::vector<const char *> names;
    std::vector<const char *> cnames; // names that own a CNAME: never written
};

void PrintTo(const corpus_zone &z, std::ostream *os) {
    *os << z.file;
}

struct run_result {
    int status;
    std::string out;
};

run_result run(const std::string &cmd) {
    run_result r{-1, ""};
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    r.status = pclose(p);
    return r;
}

std::vector<std::string> split_lines(const std::string &s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// The zone as named-checkzone loads it, one record a line, sorted; empty
// with a failed expectation when it does not load. Relative $INCLUDE files
// are read from the zone's directory.
std::vector<std::string> loaded(const TempDir &dir, const corpus_zone &z, const std::string &path) {
    run_result r = run("cd '" + dir.path() + "' && named-checkzone -q -D -o - " + z.origin + " '" +
                       path + "'");
    EXPECT_EQ(r.status, 0)
        << "named-checkzone rejects the zone:\n"
        << run("named-checkzone " + std::string(z.origin) + " '" + path + "'").out
        << read_file(path);
    std::vector<std::string> rrs;
    for (std::string &l : split_lines(r.out)) {
        // Canonical form: owner, TTL, class, type and data split by blanks.
        std::string norm;
        std::istringstream words(l);
        for (std::string w; words >> w;)
            norm += (norm.empty() ? "" : " ") + w;
        if (!norm.empty())
            rrs.push_back(norm);
    }
    std::sort(rrs.begin(), rrs.end());
    return rrs;
}

void expect_knot_loads(const TempDir &dir, const corpus_zone &z, const std::string &path) {
    if (!z.knot_loads)
        return;
    run_result r =
        run("cd '" + dir.path() + "' && kzonecheck -d off -o " + z.origin + " '" + path + "'");
    EXPECT_EQ(r.status, 0) << "kzonecheck rejects the zone:\n" << r.out << read_file(path);
}

std::vector<std::string> minus(const std::vector<std::string> &a,
                               const std::vector<std::string> &b) {
    std::vector<std::string> d;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(d));
    return d;
}

bool is_soa(const std::string &rr) {
    return rr.find(" IN SOA ") != std::string::npos;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), ::tolower);
    return s;
}

// An address record of the account (with addr, or any when addr is empty):
// its owner is the name under the zone's origin, in full, whatever case
// either is written in.
bool is_record_of(const std::string &rr, const corpus_zone &z, const std::string &name,
                  const std::string &addr) {
    size_t a = rr.find(" IN A ");
    return lower(rr.substr(0, rr.find(' '))) == lower(name + "." + z.origin) &&
           a != std::string::npos && (addr.empty() || rr.substr(a + 6) == addr);
}

// What the loaded zone gained and lost: the SOA, and the account's address.
void expect_only_change(const std::vector<std::string> &before,
                        const std::vector<std::string> &after, const corpus_zone &z,
                        const std::string &name, const std::string &old_addr,
                        const std::string &new_addr) {
    std::vector<std::string> gone = minus(before, after);
    std::vector<std::string> added = minus(after, before);
    size_t soa_gone = std::count_if(gone.begin(), gone.end(), is_soa);
    size_t soa_added = std::count_if(added.begin(), added.end(), is_soa);
    EXPECT_EQ(soa_gone, 1u) << ::testing::PrintToString(gone);
    EXPECT_EQ(soa_added, 1u) << ::testing::PrintToString(added);
    std::erase_if(gone, is_soa);
    std::erase_if(added, is_soa);
    if (old_addr.empty()) {
        EXPECT_TRUE(gone.empty()) << ::testing::PrintToString(gone);
    } else {
        ASSERT_EQ(gone.size(), 1u) << ::testing::PrintToString(gone);
        EXPECT_TRUE(is_record_of(gone[0], z, name, old_addr)) << gone[0];
    }
    if (new_addr.empty()) {
        EXPECT_TRUE(added.empty()) << ::testing::PrintToString(added);
    } else {
        ASSERT_EQ(added.size(), 1u) << ::testing::PrintToString(added);
        EXPECT_TRUE(is_record_of(added[0], z, name, new_addr)) << added[0];
    }
}

// The serial of the loaded zone.
unsigned long serial_of(const std::vector<std::string> &rrs) {
    for (const std::string &rr : rrs)
        if (is_soa(rr)) {
            std::istringstream words(rr.substr(rr.find(" IN SOA ") + 8));
            std::string mname, rname;
            unsigned long serial = 0;
            words >> mname >> rname >> serial;
            return serial;
        }
    return 0;
}

// Whether two lines differ in one run of digits only (the serial).
bool only_digits_differ(const std::string &a, const std::string &b) {
    size_t pre = 0;
    while (pre < a.size() && pre < b.size() && a[pre] == b[pre])
        pre++;
    while (pre > 0 && isdigit(static_cast<unsigned char>(a[pre - 1])))
        pre--;
    size_t sa = a.size(), sb = b.size();
    while (sa > pre && sb > pre && a[sa - 1] == b[sb - 1])
        sa--, sb--;
    while (sa < a.size() && isdigit(static_cast<unsigned char>(a[sa])))
        sa++, sb++;
    auto digits = [](const std::string &s, size_t from, size_t to) {
        return from < to && std::all_of(s.begin() + from, s.begin() + to, [](char c) {
                   return isdigit(static_cast<unsigned char>(c));
               });
    };
    return digits(a, pre, sa) && digits(b, pre, sb);
}

// The text changed in the serial's digits and either in the record line,
// whose trailing comment stays, with the owner written onto the line after
// it on a timeout, or by a new record line (after an $ORIGIN line for the
// apex) somewhere in the file. Nowhere else.
void expect_text_change(const std::string &before, const std::string &after,
                        const std::string &name) {
    std::vector<std::string> a = split_lines(before);
    std::vector<std::string> b = split_lines(after);
    const std::string lname = lower(name);
    auto lead = [](const std::string &l) {
        return std::min(l.find_first_not_of(" \t;"), l.size());
    };
    auto is_line_of = [&](const std::string &l) {
        size_t s = lead(l);
        return lower(l.substr(s, name.size())) == lname && s + name.size() < l.size() &&
               (l[s + name.size()] == ' ' || l[s + name.size()] == '\t');
    };
    auto comment = [&](const std::string &l) {
        size_t c = l.find(';', lead(l));
        return c == std::string::npos ? std::string() : l.substr(c);
    };
    auto is_new_line = [&](size_t j) { return b[j].rfind(name + " IN A ", 0) == 0; };
    auto before_rest = [&](size_t i, size_t j) {
        return (i == a.size() && j == b.size()) || (i < a.size() && j < b.size() && a[i] == b[j]);
    };
    size_t i = 0, j = 0, record = 0, serial = 0, owner = 0, added = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            i++, j++;
        } else if (j < b.size() && is_new_line(j) && before_rest(i, j + 1)) {
            added++, j++;
        } else if (j + 1 < b.size() && b[j].rfind("$ORIGIN ", 0) == 0 && is_new_line(j + 1) &&
                   before_rest(i, j + 2)) {
            added++, j += 2;
        } else if (i == a.size() || j == b.size()) {
            ADD_FAILURE() << "lines differ in number:\n" << after;
            return;
        } else if (is_line_of(a[i]) && is_line_of(b[j])) {
            EXPECT_EQ(comment(b[j]), comment(a[i])) << a[i] << " became " << b[j];
            record++, i++, j++;
        } else if (lower(b[j].substr(0, name.size())) == lname &&
                   b[j].substr(name.size()) == a[i] && (a[i][0] == ' ' || a[i][0] == '\t')) {
            owner++, i++, j++;
        } else if (only_digits_differ(a[i], b[j])) {
            serial++, i++, j++;
        } else {
            ADD_FAILURE() << a[i] << " became " << b[j];
            i++, j++;
        }
    }
    EXPECT_EQ(record + added, 1u) << after;
    EXPECT_LE(serial, 1u);
    EXPECT_LE(owner, record);
}

class ZoneCorpus : public ::testing::TestWithParam<corpus_zone> {};

TEST_P(ZoneCorpus, AccountsComeGoAndReturn) {
    const corpus_zone &z = GetParam();
    ASSERT_EQ(system("command -v named-checkzone >/dev/null && command -v kzonecheck >/dev/null"),
              0)
        << "named-checkzone (bind9-utils) and kzonecheck (knot-dnssecutils) are needed: "
           "scripts/install-deps";
    const std::string src = std::string(ZORVEL_SOURCE_DIR) + "/tests/zones/";
    FakeClock clock(today);

    for (const char *name : z.names) {
        SCOPED_TRACE(name);
        TempDir dir;
        dir.write("sub.db", read_file(src + "sub.db"));
        std::string path = dir.write(z.file, read_file(src + z.file));
        std::vector<std::string> rrs = loaded(dir, z, path);
        // The address the name holds now, if any.
        std::string held;
        for (const std::string &rr : rrs)
            if (is_record_of(rr, z, name, ""))
                held = rr.substr(rr.rfind(' ') + 1);

        struct step {
            uint8_t addr[4];
            const char *text;
        } steps[] = {
            {{192, 0, 2, 77}, "192.0.2.77"}, {{0, 0, 0, 0}, ""}, {{192, 0, 2, 78}, "192.0.2.78"}};
        for (const step &s : steps) {
            std::string text = read_file(path);
            LogCapture cap;
            zone_update(path.c_str(), name, strlen(name), AF_INET, s.addr);
            for (const log_record &r : cap.records())
                EXPECT_EQ(r.priority, LOG_INFO) << r.text;
            std::string now = read_file(path);
            std::vector<std::string> after = loaded(dir, z, path);
            expect_knot_loads(dir, z, path);
            expect_only_change(rrs, after, z, name, held, s.text);
            EXPECT_GT(serial_of(after), serial_of(rrs));
            expect_text_change(text, now, name);
            rrs = after;
            held = s.text;
        }
    }

    for (const char *name : z.cnames) {
        SCOPED_TRACE(name);
        TempDir dir;
        std::string path = dir.write(z.file, read_file(src + z.file));
        LogCapture cap;
        const uint8_t addr[4] = {192, 0, 2, 77};
        zone_update(path.c_str(), name, strlen(name), AF_INET, addr);
        EXPECT_EQ(read_file(path), read_file(src + z.file));
        ASSERT_EQ(cap.records().size(), 2u);
        EXPECT_EQ(cap.records()[1].text, "Not adding a record beside the CNAME of \"" +
                                             std::string(name) + "\" in zone \"" + path + "\"\n");
    }
}

// A burst: every name of the zone comes up at once, in one batch of the
// file, and then every one of them times out at once. Each time the zone
// loads, holds each name's address (or none), and the serial went up.
TEST_P(ZoneCorpus, AllNamesAtOnce) {
    const corpus_zone &z = GetParam();
    const std::string src = std::string(ZORVEL_SOURCE_DIR) + "/tests/zones/";
    FakeClock clock(today);
    TempDir dir;
    dir.write("sub.db", read_file(src + "sub.db"));
    std::string path = dir.write(z.file, read_file(src + z.file));
    std::vector<std::string> rrs = loaded(dir, z, path);
    const uint8_t up[4] = {192, 0, 2, 77};
    const uint8_t down[4] = {0, 0, 0, 0};
    for (const uint8_t *addr : {up, down}) {
        std::vector<zone_change> changes;
        for (const char *name : z.names)
            changes.push_back({name, strlen(name), AF_INET, addr});
        std::vector<char> ok(changes.size());
        LogCapture cap;
        zone_update_batch(path.c_str(), changes.data(), changes.size(),
                          reinterpret_cast<bool *>(ok.data()));
        for (const log_record &r : cap.records())
            EXPECT_EQ(r.priority, LOG_INFO) << r.text;
        std::vector<std::string> after = loaded(dir, z, path);
        expect_knot_loads(dir, z, path);
        for (size_t i = 0; i < changes.size(); i++) {
            EXPECT_TRUE(ok[i]) << z.names[i];
            bool held = std::any_of(after.begin(), after.end(), [&](const std::string &rr) {
                return is_record_of(rr, z, z.names[i], "192.0.2.77");
            });
            EXPECT_EQ(held, addr == up) << z.names[i];
        }
        EXPECT_GT(serial_of(after), serial_of(rrs));
        rrs = after;
    }
}

// Random batches of the zone's names (and of names it lacks), both types,
// coming up, moving and timing out: where the batch is worked out in one
// reading it must give the text of the updates applied in turn.
TEST_P(ZoneCorpus, BatchReadsAsUpdatesInTurn) {
    const corpus_zone &z = GetParam();
    const std::string src = std::string(ZORVEL_SOURCE_DIR) + "/tests/zones/";
    const std::string text = read_file(src + z.file);
    std::vector<std::string> names(z.names.begin(), z.names.end());
    names.insert(names.end(), z.cnames.begin(), z.cnames.end());
    names.insert(names.end(), {"new2", "NEW3", "www", "mail"});
    static const char *const addrs[][3] = {{"192.0.2.77", "192.0.2.78", "0.0.0.0"},
                                           {"2001:db8::77", "2001:db8::78", "::"}};
    std::mt19937 rng(7);
    constexpr zone_text_date day{2026, 12, 10};
    for (int round = 0; round < 60; round++) {
        std::vector<zone_text_record> recs;
        size_t n = 2 + rng() % 7;
        for (size_t i = 0; i < n; i++) {
            unsigned type = rng() % 2, addr = rng() % 3;
            recs.push_back(
                {names[rng() % names.size()], type ? "AAAA" : "A", addrs[type][addr], addr == 2});
        }
        std::string why;
        ASSERT_NE(zone_text_batch_compare(text, recs, day, &why), zone_text_batch_check::differs)
            << "round " << round << ": " << why;
    }
}

// For each zone: names with an address record, names with other types
// only, and absent names. Never a name server's own host, nor a name with
// several address lines.
INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneCorpus,
    ::testing::Values(
        corpus_zone{"include.zone", "include.", false, {"c", "new"}, {}},
        corpus_zone{
            "example.masterformat.zone", "example.", false, {"txt", "aaaa", "new"}, {"cname"}},
        corpus_zone{"dynamic.zone", "dynamic.", true, {"mAiL", "new"}, {}},
        corpus_zone{"example.net.zone",
                    "example.net.",
                    true,
                    {"a-only", "aaaa-only", "dual", "new"},
                    {"cname-a-only"}},
        corpus_zone{"example.chain.zone", "example.", true, {"a.short", "new"}, {"cname"}},
        corpus_zone{"example.statschannel.zone", "example.", true, {"short", "a", "new"}, {}},
        corpus_zone{"date.zone", "date.", false, {"a2", "txt2", "new"}, {}},
        corpus_zone{"miek.nl.zone", "miek.nl.", true, {"a", "mx25", "new"}, {}},
        corpus_zone{"spf-test.nl.zone", "spf-test.nl.", true, {"a", "txt-test1", "new"}, {"www"}},
        corpus_zone{
            "galaxyplus.org.zone", "galaxyplus.org.", true, {"cvs", "v6", "text", "new"}, {}},
        corpus_zone{"local.debian.zone", "localhost.", true, {"laptop"}, {}},
        corpus_zone{"opendnssec.se.zone", "opendnssec.se.", true, {"new"}, {}},
        corpus_zone{"tc-test-signed.zone", "tc-test-signed.", true, {"new"}, {}},
        corpus_zone{"victim.test.zone", "victim.test.", true, {"new"}, {}},
        corpus_zone{"example.notify.zone", "example.", false, {"c", "a01", "new"}, {"cname01"}},
        corpus_zone{"crlf.test.zone", "crlf.test.", false, {"home", "office", "new"}, {}},
        corpus_zone{"ownerless.test.zone", "ownerless.test.", true, {"mail", "nas"}, {}},
        corpus_zone{"origin.test.zone", "origin.test.", true, {"home", "new"}, {}},
        corpus_zone{"dump.test.zone", "dump.test.", true, {"www", "new"}, {}},
        corpus_zone{"retired.test.zone", "retired.test.", true, {"home"}, {}},
        corpus_zone{"case.test.zone", "case.test.", true, {"home"}, {}},
        corpus_zone{"comment.test.zone", "comment.test.", true, {"home"}, {}},
        corpus_zone{"hazards.test.zone",
                    "hazards.test.",
                    true,
                    {"home", "info", "a", "laptop", "new"},
                    {"www", "mail"}}),
    [](const ::testing::TestParamInfo<corpus_zone> &i) {
        std::string n = i.param.file;
        std::replace_if(
            n.begin(), n.end(), [](char c) { return !isalnum(c); }, '_');
        return n;
    });

} // namespace
