#include "server/state.h"

#include "server/account.h"
#include "tests/support/engine_drive.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/sx_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

size_t count_entries(const std::string &dir) {
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            n++;
    closedir(d);
    return n;
}

// A table of accounts named as given, sorted as the configuration sorts it,
// the names owned by the strings of the fixture.
struct StateTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.file("presence");
    std::vector<std::string> names;
    array table = {};
    LogCapture cap;

    void SetUp() override { array_init(&table, sizeof(account)); }
    void TearDown() override {
        for (int32_t i = 0; i < table.count; i++)
            sx_free(&acct(i)->effectors);
        array_free(&table);
    }
    // Gives the account named name the effector list read from text.
    void effect(const std::string &name, const std::string &text) {
        for (int32_t i = 0; i < table.count; i++) {
            account *a = acct(i);
            if (std::string(a->name, a->name_len) != name)
                continue;
            sx_text_tree t(text);
            sx_free(&a->effectors);
            ASSERT_EQ(sx_dup(&a->effectors, t.first()), 0);
        }
    }

    void make(std::vector<std::string> n) {
        names = std::move(n);
        table.count = 0;
        for (std::string &name : names) {
            int32_t i = array_append(&table);
            ASSERT_GE(i, 0);
            account *a = acct(i);
            *a = {};
            a->name = name.data();
            a->name_len = name.size();
        }
        qsort(table.data, static_cast<size_t>(table.count), sizeof(account), account_cmp);
    }
    account *acct(int32_t i) { return static_cast<account *>(array_get(&table, i)); }
    void set_up(int32_t i, uint8_t last_octet, time_t seen, time_t msg) {
        account *a = acct(i);
        a->flags |= ACCOUNT_UP;
        const uint8_t addr[4] = {192, 0, 2, last_octet};
        memcpy(a->address, addr, 4);
        a->last_seen = seen;
        a->last_msg = msg;
    }
    // Each account as "name up address seen msg", in table order.
    std::vector<std::string> presence() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < table.count; i++) {
            const account *a = acct(i);
            std::string s = std::string(a->name, a->name_len);
            if ((a->flags & ACCOUNT_UP) != 0)
                s += " up 192.0.2." + std::to_string(a->address[3]) + " " +
                     std::to_string(a->last_seen) + " " + std::to_string(a->last_msg);
            out.push_back(s);
        }
        return out;
    }
    void clear_presence() {
        for (int32_t i = 0; i < table.count; i++) {
            acct(i)->flags = 0;
            memset(acct(i)->address, 0, 4);
            acct(i)->last_seen = 0;
            acct(i)->last_msg = 0;
        }
    }
};

// Any name bytes survive the file, plain ones are written readably, and
// only up accounts are written.
TEST_F(StateTest, WrittenPresenceIsRestored) {
    const std::string odd[] = {std::string("a\0b", 3), "two words", "(x)", "9lives", "|#\"",
                               "caf\xc3\xa9"};
    make({"home", odd[0], odd[1], odd[2], odd[3], odd[4], odd[5], "down"});
    for (int32_t i = 0; i < table.count; i++)
        if (std::string(acct(i)->name, acct(i)->name_len) != "down")
            set_up(i, static_cast<uint8_t>(i + 1), 1700000000 + i, i == 0 ? 0 : 1699999990);
    // Effector atoms of any bytes, lists nested deep: an account restored
    // with other forms than its own would be taken down instead.
    for (const std::string &n : names)
        effect(n,
               "(zone \"/var/a b.zone\" \"\" #00ff0a# \"9lives\" \"x#y\" \"(p)\" \"caf\xc3\xa9\" "
               "\"|\\\"\" \"a;b\") (system ((((deep) er) \"\") est)) (kill) ()");
    std::vector<std::string> before = presence();
    ASSERT_EQ(state_write(path.c_str(), &table), 0);
    EXPECT_NE(dir.read("presence").find("(up home 192.0.2."), std::string::npos);
    // It may hold dns-update keys: never readable by all, even where an
    // older file was.
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    ASSERT_EQ(state_write(path.c_str(), &table), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    clear_presence();
    EXPECT_EQ(state_restore(path.c_str(), &table), 0);
    EXPECT_EQ(presence(), before);
    EXPECT_TRUE(cap.records().empty());
    // Nothing left beside the file.
    EXPECT_EQ(count_entries(dir.path()), 1u);
}

// One form per up family, the IPv4 one first; each restores its own family
// only, so an IPv6 entry never takes an account's IPv4 presence.
TEST_F(StateTest, BothFamiliesWrittenAndRestored) {
    make({"home", "office"});
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    set_up(0, 1, 100, 90);
    account *home = acct(0), *office = acct(1);
    for (account *a : {home, office}) {
        a->flags |= ACCOUNT_UP6;
        memcpy(a->address6, v6, 16);
    }
    home->last_seen6 = 110;
    home->last_msg6 = 95;
    office->address6[15] = 9;
    office->last_seen6 = 120;
    ASSERT_EQ(state_write(path.c_str(), &table), 0);
    EXPECT_EQ(dir.read("presence"), "(up home 192.0.2.1 100 90 (effector))\n"
                                    "(up home \"2001:db8::7\" 110 95 (effector))\n"
                                    "(up office \"2001:db8::9\" 120 0 (effector))\n");

    for (account *a : {home, office}) {
        memset(a->address6, 0, 16);
        a->last_seen6 = a->last_msg6 = 0;
    }
    clear_presence();
    EXPECT_EQ(state_restore(path.c_str(), &table), 0);
    EXPECT_EQ(presence(), (std::vector<std::string>{"home up 192.0.2.1 100 90", "office"}));
    EXPECT_EQ(home->flags, ACCOUNT_UP | ACCOUNT_UP6);
    EXPECT_EQ(office->flags, ACCOUNT_UP6);
    EXPECT_EQ(memcmp(home->address6, v6, 16), 0);
    EXPECT_EQ(home->last_seen6, 110);
    EXPECT_EQ(home->last_msg6, 95);
    EXPECT_EQ(office->address6[15], 9);
    EXPECT_EQ(office->last_seen6, 120);
    EXPECT_TRUE(cap.records().empty());
}

TEST_F(StateTest, MissingEmptyAndUnknownNames) {
    make({"home", "Twin", "twin"});
    EXPECT_EQ(state_restore(path.c_str(), &table), 0); // no file yet
    dir.write("presence", "");
    EXPECT_EQ(state_restore(path.c_str(), &table), 0);
    EXPECT_TRUE(cap.records().empty());

    // Names match as account names do; a second entry of one name goes to
    // the second account of that name; one without an account is reported.
    dir.write("presence", "(up TWIN 192.0.2.1 10 5)\n(up twin 192.0.2.2 20 (retry 3))\n"
                          "(up #6f6666696365# 192.0.2.3 30 30)\n");
    EXPECT_EQ(state_restore(path.c_str(), &table), 0);
    std::vector<std::string> got = presence();
    std::sort(got.begin() + 1, got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"home", "Twin up 192.0.2.1 10 5",
                                             "twin up 192.0.2.2 20 0"}));
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_WARNING, "Account office of state file \"" + path + "\" not found\n"}}));
}

// One bad form spoils the whole file: nothing is restored.
TEST_F(StateTest, MalformedFileRestoresNothing) {
    make({"home", "office"});
    const std::string bad[] = {
        "(up office 192.0.2.1 10)\n(up home 192.0.2.1)\n",
        "(up home 192.0.2.1 10 5 6)\n",
        "(down home 192.0.2.1 10)\n",
        "(up (home) 192.0.2.1 10)\n",
        "(up home 192.0.2 10)\n",
        "(up home 0.0.0.0 10)\n",
        "(up home \"::\" 10)\n",
        "(up home 2001:db8::g 10)\n",
        "(up home [2001:db8::1] 10)\n",
        "(up home 2001:db8::1%eth0 10)\n",
        "(up home 192.0.2.1 1x)\n",
        "(up home 192.0.2.1 99999999999999999999)\n",
        "(up home \"192.0.2.1\\000\" 10)\n",
        "(up home 192.0.2.1 \"\")\n",
        "up home 192.0.2.1 10\n",
        "(up home 192.0.2.1 10 5 (retry))\n",
        "(up home 192.0.2.1 10 5 (retry 4294967296))\n",
        "(up home 192.0.2.1 10 5 (retry 1 2))\n",
        "(up home 192.0.2.1 10 5 (retry -1))\n",
        "(up home 192.0.2.1 10 5 (again 1))\n",
        "(up home 192.0.2.1 10 (retry 1) 5)\n",
        "(pending home 192.0.2.1)\n",
        "(pending home 192.0.2.1 0)\n",
        "(pending home 192.0.2.1 18446744073709551616)\n",
        "(pending home 192.0.2.1 1 2)\n",
        "(pending home 192.0.2.1 (1))\n",
    };
    for (const std::string &text : bad) {
        SCOPED_TRACE(text);
        cap.clear();
        dir.write("presence", text);
        EXPECT_EQ(state_restore(path.c_str(), &table), -1);
        EXPECT_EQ(presence(), (std::vector<std::string>{"home", "office"}));
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{{LOG_ERR, "Malformed state file \"" + path +
                                                         "\", presence not restored\n"}}));
    }
    // Neither a directory nor a FIFO is read, and a FIFO that no one
    // writes does not hold the start up.
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string &other : {dir.path(), fifo}) {
        cap.clear();
        EXPECT_EQ(state_restore(other.c_str(), &table), -1);
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{{LOG_ERR, "State file \"" + other +
                                                         "\" is not a regular file, presence "
                                                         "not restored\n"}}));
    }
}

// A file cut short anywhere is refused whole; one cut between two forms
// reads as the shorter file it then is, never as part of a form.
TEST_F(StateTest, CutFileIsRefusedAtEveryOffset) {
    make({"home", "office"});
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    set_up(0, 1, 100, 90);
    acct(0)->flags |= ACCOUNT_UP6;
    memcpy(acct(0)->address6, v6, 16);
    set_up(1, 2, 200, 190);
    effect("home", "(system \"true\") (zone z)");
    effect("office", "(system \"true\")");
    ASSERT_EQ(state_write(path.c_str(), &table), 0);
    const std::string text = dir.read("presence");
    // Where each form ends, one past its ")".
    std::vector<size_t> ends;
    for (size_t at = text.find(")\n"); at != std::string::npos; at = text.find(")\n", at + 1))
        ends.push_back(at + 1);
    ASSERT_EQ(ends.size(), 3u) << text;
    const uint8_t bits[] = {ACCOUNT_UP, ACCOUNT_UP6, ACCOUNT_UP}; // home, home, office

    for (size_t k = 0; k < text.size(); k++) {
        SCOPED_TRACE("cut after " + std::to_string(k) + " bytes");
        dir.write("presence", text.substr(0, k));
        clear_presence();
        cap.clear();
        bool inside = false;
        uint8_t want[2] = {0, 0};
        for (size_t f = 0; f < ends.size(); f++) {
            size_t start = f == 0 ? 0 : ends[f - 1] + 1;
            if (k > start && k < ends[f])
                inside = true;
            if (k >= ends[f])
                want[f == 2 ? 1 : 0] |= bits[f];
        }
        if (inside) {
            EXPECT_EQ(state_restore(path.c_str(), &table), -1);
            EXPECT_EQ(cap.records(),
                      (std::vector<log_record>{{LOG_ERR, "Malformed state file \"" + path +
                                                             "\", presence not restored\n"}}));
            want[0] = want[1] = 0;
        } else {
            EXPECT_EQ(state_restore(path.c_str(), &table), 0);
            EXPECT_TRUE(cap.records().empty());
        }
        EXPECT_EQ(acct(0)->flags, want[0]);
        EXPECT_EQ(acct(1)->flags, want[1]);
    }
}

// The file is the table of the server that wrote it: at start, what is gone
// from the configuration or runs other effectors now is taken down with the
// forms it was written with, as a reload would; what is the same goes on.
TEST_F(StateTest, AccountsGoneOrChangedSinceTheWriteAreTakenDown) {
    FakeClock clock(1796904000); // 2026-12-10
    const std::string zone = dir.write("zone", "@ SOA ns hm 2026121001 1 1 1 1\n"
                                               "same IN A 192.0.2.1\n"
                                               "changed IN A 192.0.2.2\n"
                                               "gone IN A 192.0.2.3\n"
                                               "gone IN AAAA 2001:db8::3\n"
                                               "legacy IN A 192.0.2.4\n");
    make({"same", "changed", "legacy"});
    const std::string zone_form = "(zone " + zone + ")";
    effect("same", zone_form);
    effect("changed", zone_form + " (system \"true\")");
    effect("legacy", zone_form);
    dir.write("presence", "(up same 192.0.2.1 100 90 (effector " + zone_form + "))\n" +
                              "(up changed 192.0.2.2 100 90 (effector " + zone_form + "))\n" +
                              "(up gone 192.0.2.3 100 90 (effector " + zone_form + "))\n" +
                              "(up gone \"2001:db8::3\" 100 90 (effector " + zone_form + "))\n" +
                              "(up legacy 192.0.2.4 100 90)\n");
    presence_state ps = {PRESENCE_NEVER, 0};
    array transitions = {nullptr, 0, 0, sizeof(presence_transition)};

    EXPECT_EQ(state_restore(path.c_str(), &table, &transitions, &ps), 0);
    EXPECT_EQ(transitions.count, 3);
    ASSERT_TRUE(engine_drive_once(&transitions));
    array_free(&transitions);

    std::vector<std::string> got = presence();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"changed", "legacy up 192.0.2.4 100 90",
                                             "same up 192.0.2.1 100 90"}));
    EXPECT_EQ(ps.changes, 3u);
    EXPECT_EQ(ps.due, 0);
    // The three take-downs are one batch of the zone: one write, one serial.
    EXPECT_EQ(read_file(zone), "@ SOA ns hm 2026121002 1 1 1 1\n"
                               "same IN A 192.0.2.1\n"
                               "; changed IN A 0.0.0.0\n"
                               "; gone IN A 0.0.0.0\n"
                               "; gone IN AAAA ::\n"
                               "legacy IN A 192.0.2.4\n");
    for (const char *removed : {"Account changed removed (last seen at 192.0.2.2)\n",
                                "Account gone removed (last seen at 192.0.2.3)\n",
                                "Account gone removed (last seen at 2001:db8::3)\n"}) {
        size_t n = 0;
        for (const log_record &r : cap.records())
            n += r.text == removed;
        EXPECT_EQ(n, 1u) << removed;
    }
}

TEST_F(StateTest, FailedWriteKeepsTheOldFileAndNoTemporary) {
    make({"home"});
    set_up(0, 1, 100, 99);
    std::string sub = dir.file("sub");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    std::string target = sub + "/presence";
    // A directory in the file's place cannot be renamed over.
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    EXPECT_EQ(state_write(target.c_str(), &table), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_ERR, "Not replacing state file \"" + target + "\": not a regular file\n"}}));
    EXPECT_EQ(count_entries(sub), 1u);
    cap.clear();
    std::string nowhere = dir.file("missing/presence");
    EXPECT_EQ(state_write(nowhere.c_str(), &table), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_ERR, "Unable to write state file \"" + nowhere +
                                                     "\": " + strerror(ENOENT) + "\n"}}));
}

// Written at once after the first change, then at most once an interval,
// never when nothing changed; a failed write is tried again an interval on.
TEST_F(StateTest, FlushKeepsToItsInterval) {
    make({"home"});
    set_up(0, 1, 100, 99);
    state_writer w = {};
    const time_t t = 1700000000;
    EXPECT_EQ(state_flush(&w, nullptr, &table, 1, t), -1);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 0, t), -1); // nothing changed
    EXPECT_FALSE(file_exists(path));
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 1, t), -1);
    EXPECT_TRUE(file_exists(path));

    set_up(0, 2, 101, 100);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 2, t + 2), 3000);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 3, t + 4), 1000);
    EXPECT_NE(dir.read("presence").find("192.0.2.1 "), std::string::npos);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 3, t + 5), -1);
    EXPECT_NE(dir.read("presence").find("192.0.2.2 "), std::string::npos);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 3, t + 50), -1);

    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 4, t + 60), STATE_WRITE_INTERVAL * 1000);
    EXPECT_EQ(cap.records().size(), 1u);
    rmdir(path.c_str());
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 4, t + 61), 4000);
    EXPECT_EQ(state_flush(&w, path.c_str(), &table, 4, t + 65), -1);
    EXPECT_TRUE(file_exists(path));
}

} // namespace
