#include "common/protocol/address.h"
#include "common/protocol/hmac_sha1.h"
#include "server/presence.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <arpa/inet.h>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr time_t NOW = 1700000000;

using addr4 = std::array<uint8_t, 4>;
constexpr addr4 HOME_IP = {192, 0, 2, 7};
constexpr addr4 OTHER_IP = {198, 51, 100, 9};
constexpr addr4 ZERO_IP = {0, 0, 0, 0};

std::string dotted(const addr4 &a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

// An update datagram with any time text: time digits, NUL, name, NUL,
// address, NUL, HMAC-SHA1 of all that, then the tag.
std::vector<uint8_t> datagram(const std::string &time_text, const std::string &name,
                              const addr4 &addr, const std::string &key) {
    std::vector<uint8_t> d(time_text.begin(), time_text.end());
    d.push_back(0);
    d.insert(d.end(), name.begin(), name.end());
    d.push_back(0);
    d.insert(d.end(), addr.begin(), addr.end());
    d.push_back(0);
    uint8_t mac[HMAC_SHA1_LEN];
    hmac_sha1(mac, d.data(), d.size(), key.data(), key.size());
    d.insert(d.end(), mac, mac + HMAC_SHA1_LEN);
    for (char c : std::string("sha-1"))
        d.push_back(static_cast<uint8_t>(c));
    return d;
}

using addr6 = std::array<uint8_t, 16>;
constexpr addr6 HOME6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
constexpr addr6 OTHER6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
constexpr addr6 ZERO6 = {};

// The IPv6 datagram: the IPv4 layout with 16 address bytes.
std::vector<uint8_t> datagram6(const std::string &time_text, const std::string &name,
                               const addr6 &addr, const std::string &key) {
    std::vector<uint8_t> d(time_text.begin(), time_text.end());
    d.push_back(0);
    d.insert(d.end(), name.begin(), name.end());
    d.push_back(0);
    d.insert(d.end(), addr.begin(), addr.end());
    d.push_back(0);
    uint8_t mac[HMAC_SHA1_LEN];
    hmac_sha1(mac, d.data(), d.size(), key.data(), key.size());
    d.insert(d.end(), mac, mac + HMAC_SHA1_LEN);
    for (char c : std::string("sha-1"))
        d.push_back(static_cast<uint8_t>(c));
    return d;
}

recv_slot slot6_of(const std::vector<uint8_t> &bytes, const addr6 &peer) {
    recv_slot s = {};
    size_t n = std::min(bytes.size(), sizeof s.data);
    memcpy(s.data, bytes.data(), n);
    s.len = static_cast<int64_t>(n);
    s.peer.in6.sin6_family = AF_INET6;
    s.peer.in6.sin6_port = htons(4444);
    memcpy(s.peer.in6.sin6_addr.s6_addr, peer.data(), 16);
    return s;
}

recv_slot slot_of(const std::vector<uint8_t> &bytes, const addr4 &peer) {
    recv_slot s = {};
    size_t n = std::min(bytes.size(), sizeof s.data);
    memcpy(s.data, bytes.data(), n);
    s.len = static_cast<int64_t>(n);
    s.peer.in.sin_family = AF_INET;
    s.peer.in.sin_port = htons(4444);
    memcpy(&s.peer.in.sin_addr.s_addr, peer.data(), 4);
    return s;
}

// Three accounts, in table order (shorter names first), whose effector is
// (system "echo " (name) " " (addr) " >> LOG"), so every run leaves a line.
struct PresenceTest : ::testing::Test {
    TempDir dir;
    std::string log_path = dir.file("effects");
    std::string redirect = " >> " + log_path;
    sx_node nodes[9] = {};
    array table = {};
    array tr = {nullptr, 0, 0, sizeof(presence_transition)};
    LogCapture cap;
    FakeClock clock{NOW};

    void SetUp() override {
        sx_node &form = nodes[0], &kw = nodes[1], &echo = nodes[2], &name_list = nodes[3],
                &name_kw = nodes[4], &space = nodes[5], &addr_list = nodes[6], &addr_kw = nodes[7],
                &tail = nodes[8];
        form = {&kw, SX_LIST, nullptr};
        kw = {const_cast<char *>("system"), 6, &echo};
        echo = {const_cast<char *>("echo "), 5, &name_list};
        name_list = {&name_kw, SX_LIST, &space};
        name_kw = {const_cast<char *>("name"), 4, nullptr};
        space = {const_cast<char *>(" "), 1, &addr_list};
        addr_list = {&addr_kw, SX_LIST, &tail};
        addr_kw = {const_cast<char *>("addr"), 4, nullptr};
        tail = {redirect.data(), redirect.size(), nullptr};

        array_init(&table, sizeof(account));
        add("home", "home-key");
        add("office", "office-key");
        add("workshop", "workshop-key");
    }
    void TearDown() override {
        presence_transitions_clear(&tr);
        array_free(&tr);
        for (int32_t i = 0; i < table.count; i++)
            effector_plan_drop(acct(i)->plan);
        array_free(&table);
    }

    void add(const char *name, const char *key) {
        int32_t i = array_append(&table);
        ASSERT_GE(i, 0);
        account *a = acct(i);
        *a = {};
        a->name = const_cast<char *>(name);
        a->name_len = strlen(name);
        a->key = reinterpret_cast<uint8_t *>(const_cast<char *>(key));
        a->key_len = strlen(key);
        a->max_future = -1;
        a->max_past = -1;
        a->timeout = -1;
        a->effectors = {nullptr, 0, nodes, 9};
        a->plan = effector_plan_build(&nodes[0], a->name, a->name_len);
    }
    account *acct(int32_t i) { return static_cast<account *>(array_get(&table, i)); }
    account *home() { return acct(0); }

    void send(const std::string &name, const addr4 &addr, const addr4 &peer, time_t at = NOW,
              const std::string &key = "", presence_state *ps = nullptr) {
        std::string k = key.empty() ? name + "-key" : key;
        recv_slot s = slot_of(datagram(std::to_string(at), name, addr, k), peer);
        update_accept(&table, &s, ps, &tr);
    }
    void send6(const std::string &name, const addr6 &addr, const addr6 &peer, time_t at = NOW,
               presence_state *ps = nullptr) {
        recv_slot s = slot6_of(datagram6(std::to_string(at), name, addr, name + "-key"), peer);
        update_accept(&table, &s, ps, &tr);
    }
    // The changes the judgement handed on, as "name address"; refreshes,
    // which ask nothing new, are left out.
    std::vector<std::string> effects() const {
        std::vector<std::string> lines;
        for (int32_t i = 0; i < tr.count; i++) {
            const auto *t = static_cast<const presence_transition *>(array_get(&tr, i));
            if (t->steps != 0)
                lines.push_back(std::string(t->plan->name, t->plan->name_len) + " " +
                                address_format(t->family, t->to).s);
        }
        return lines;
    }
    // A rejection leaves the account exactly as configured.
    void expect_untouched(const account *a) {
        EXPECT_EQ(a->last_seen, 0);
        EXPECT_EQ(a->flags & ACCOUNT_UP, 0);
        EXPECT_EQ(addr4({a->address[0], a->address[1], a->address[2], a->address[3]}), ZERO_IP);
        EXPECT_TRUE(effects().empty());
    }
};

log_record up(const char *name, const addr4 &a) {
    return {LOG_INFO, std::string("Account ") + name + " up (" + dotted(a) + ")\n"};
}

TEST(AccountMsgCmp, LengthFirstThenCaseFoldedBytes) {
    struct row {
        std::string msg, acct;
        int sign;
    };
    const row rows[] = {
        {"home", "home", 0},
        {"HoMe", "hOmE", 0},
        {"hom", "home", -1}, // a prefix never matches
        {"zz", "aaa", -1},   // length decides before any byte
        {"office", "home", 1},
        {"abc", "abd", -1},
        {"[", "{", -1},                                       // only letters fold
        {"\xc4", "\xe4", -1},                                 // and only ASCII letters
        {std::string("a\0b", 3), std::string("a\0c", 3), -1}, // NUL does not end a name
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.msg + " vs " + r.acct);
        update_msg m = {};
        m.name = r.msg.data();
        m.name_len = r.msg.size();
        account a = {};
        a.name = const_cast<char *>(r.acct.data());
        a.name_len = r.acct.size();
        int c = account_msg_cmp(&m, &a);
        EXPECT_EQ((c > 0) - (c < 0), r.sign);
    }
    update_msg m = {};
    m.name = "ab";
    m.name_len = 2;
    account a = {};
    a.name = const_cast<char *>("abcde");
    a.name_len = 5;
    EXPECT_EQ(account_msg_cmp(&m, &a), -3) << "the difference of the lengths";
}

TEST_F(PresenceTest, LookupIgnoresCaseButNotLength) {
    struct row {
        const char *name;
        std::vector<log_record> records;
    };
    const row rows[] = {
        {"HOME", {up("home", HOME_IP)}},
        {"Workshop", {up("workshop", HOME_IP)}},
        {"hom", {{LOG_ERR, "Account \"hom\" not found.\n"}}},
        {"homes", {{LOG_ERR, "Account \"homes\" not found.\n"}}},
        {"cabin", {{LOG_ERR, "Account \"cabin\" not found.\n"}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        cap.clear();
        std::string lower = r.name;
        for (char &c : lower)
            c = static_cast<char>(tolower(c));
        send(r.name, HOME_IP, HOME_IP, NOW, lower + "-key");
        EXPECT_EQ(cap.records(), r.records);
    }
}

TEST_F(PresenceTest, EmptyTableFindsNothing) {
    array empty;
    array_init(&empty, sizeof(account));
    recv_slot s = slot_of(datagram("1", "home", HOME_IP, "k"), HOME_IP);
    update_accept(&empty, &s);
    EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, "Account \"home\" not found.\n"}}));
}

TEST_F(PresenceTest, ForgedOrAlteredDatagramIsRefused) {
    std::vector<uint8_t> wrong_key = datagram(std::to_string(NOW), "home", HOME_IP, "guess");
    std::vector<uint8_t> altered = datagram(std::to_string(NOW), "home", HOME_IP, "home-key");
    altered[3] ^= 1; // a digit of the time, inside the authenticated prefix
    std::vector<uint8_t> bad_mac = datagram(std::to_string(NOW), "home", HOME_IP, "home-key");
    bad_mac[bad_mac.size() - 6] ^= 0x80; // last MAC byte
    for (const auto &d : {wrong_key, altered, bad_mac}) {
        cap.clear();
        recv_slot s = slot_of(d, HOME_IP);
        update_accept(&table, &s, nullptr, &tr);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_WARNING, "HMAC mismatch\n"}}));
        expect_untouched(home());
    }
}

// Without a key nothing is computed; the untouched MAC buffer must not
// pass for a datagram that carries an all-zero MAC.
TEST_F(PresenceTest, AccountWithoutKeyAcceptsNothing) {
    home()->key_len = 0;
    std::vector<uint8_t> d = datagram(std::to_string(NOW), "home", HOME_IP, "x");
    std::fill(d.end() - 25, d.end() - 5, 0);
    recv_slot s = slot_of(d, HOME_IP);
    update_accept(&table, &s);
    EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_WARNING, "HMAC mismatch\n"}}));
    expect_untouched(home());
}

TEST_F(PresenceTest, AddressRuleWithAndWithoutUnsafeFlag) {
    struct row {
        addr4 msg, peer;
        bool unsafe;
        std::vector<log_record> records;
    };
    const log_record mismatch = {
        LOG_WARNING, "Address mismatch between peer 198.51.100.9 and message 192.0.2.7\n"};
    const row rows[] = {
        {HOME_IP, HOME_IP, false, {up("home", HOME_IP)}},
        {HOME_IP, HOME_IP, true, {up("home", HOME_IP)}},
        {HOME_IP, OTHER_IP, false, {mismatch}},
        {HOME_IP, OTHER_IP, true, {mismatch}},
        {ZERO_IP, OTHER_IP, true, {up("home", OTHER_IP)}},
        {ZERO_IP,
         OTHER_IP,
         false,
         {{LOG_WARNING, "Rejecting unsafe message\n"},
          {LOG_INFO, "Message from 198.51.100.9 at " + std::to_string(NOW - 5) + " (+5)"},
          {LOG_INFO, "    name \"home\" address 0.0.0.0\n"}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(dotted(r.msg) + " from " + dotted(r.peer) + (r.unsafe ? " unsafe" : ""));
        presence_transitions_clear(&tr);
        cap.clear();
        home()->flags = r.unsafe ? ACCOUNT_ALLOW_UNSAFE : 0;
        home()->last_seen = 0;
        memset(home()->address, 0, 4);
        send("home", r.msg, r.peer, NOW - 5);
        EXPECT_EQ(cap.records(), r.records);
        if (r.records.size() == 1 && r.records[0].priority == LOG_INFO) {
            addr4 want = r.msg == ZERO_IP ? r.peer : r.msg;
            EXPECT_EQ(effects(), std::vector<std::string>{"home " + dotted(want)});
            EXPECT_EQ(home()->last_seen, NOW);
        } else {
            expect_untouched(home());
        }
    }
}

TEST_F(PresenceTest, TimeWindowIsInclusiveOnBothSides) {
    struct row {
        int32_t max_past, max_future;
        int64_t age; // now - message time; negative for the future
        bool passes;
    };
    const row rows[] = {
        {300, -1, 300, true},
        {300, -1, 301, false},
        {0, -1, 1000000000, true},
        {-1, -1, 1000000000, true},
        {-1, 60, -60, true},
        {-1, 60, -61, false},
        {-1, 0, -1000000000, true},
        {300, -1, -1000000000, true},
        {-1, 60, 1000000000, true},
        {300, 60, 0, true},
        // Beyond 32 bits of seconds the difference must not wrap back into
        // the window.
        {300, -1, (int64_t{1} << 32) + 100, false},
        {-1, 60, -(int64_t{1} << 32) - 30, false},
    };
    // Late enough that a message more than 32 bits of seconds old still
    // has a positive time.
    const time_t later = time_t{1} << 33;
    clock.set(later);
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.max_past) + "," + std::to_string(r.max_future) + " age " +
                     std::to_string(r.age));
        home()->max_past = r.max_past;
        home()->max_future = r.max_future;
        home()->flags = 0;
        home()->last_seen = 0;
        memset(home()->address, 0, 4);
        cap.clear();
        send("home", HOME_IP, HOME_IP, later - r.age);
        ASSERT_FALSE(cap.records().empty());
        if (r.passes) {
            EXPECT_EQ(cap.records()[0], up("home", HOME_IP));
            EXPECT_EQ(home()->last_seen, later);
        } else {
            EXPECT_EQ(cap.records()[0].priority, LOG_WARNING);
            EXPECT_EQ(cap.records()[0].text.rfind("Anachronic message ", 0), 0u);
            EXPECT_EQ(home()->last_seen, 0);
        }
    }
}

TEST_F(PresenceTest, AnachronicRecordsAndDump) {
    home()->max_past = 300;
    home()->flags = ACCOUNT_ALLOW_UNSAFE;
    send("home", ZERO_IP, OTHER_IP, NOW - 301);
    // The dump shows the address that replaced 0.0.0.0, and no peer.
    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_WARNING, "Anachronic message 301 vs 300,-1\n"},
                                 {LOG_INFO, "Message at " + std::to_string(NOW - 301) + " (+301)"},
                                 {LOG_INFO, "    name \"home\" address 198.51.100.9\n"}}));
    expect_untouched(home());

    // The printed difference is held to 32 bits; the judgement is not.
    home()->max_future = 60;
    const std::pair<const char *, const char *> far[] = {
        {"9223372036854775807", "Anachronic message -2147483648 vs 300,60\n"},
        {"9223372036854775808", "Anachronic message 2147483647 vs 300,60\n"}, // wraps negative
        {"1", "Anachronic message 1699999999 vs 300,60\n"},
    };
    for (const auto &[time_text, record] : far) {
        cap.clear();
        recv_slot s = slot_of(datagram(time_text, "home", HOME_IP, "home-key"), HOME_IP);
        update_accept(&table, &s, nullptr, &tr);
        ASSERT_EQ(cap.records().size(), 3u);
        EXPECT_EQ(cap.records()[0], (log_record{LOG_WARNING, record}));
        expect_untouched(home());
    }
}

TEST_F(PresenceTest, UpChangedTimeoutAndUpAgain) {
    home()->timeout = 60;
    send("home", HOME_IP, HOME_IP);
    clock.advance(10);
    send("home", HOME_IP, HOME_IP); // same address: only last_seen moves
    EXPECT_EQ(home()->last_seen, NOW + 10);
    clock.advance(10);
    send("home", OTHER_IP, OTHER_IP);
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), 60000);
    clock.advance(59);
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), 1000);
    clock.advance(1);
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), -1);
    EXPECT_EQ(home()->flags & ACCOUNT_UP, 0);
    clock.advance(5);
    send("home", HOME_IP, HOME_IP);

    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  up("home", HOME_IP),
                  {LOG_INFO, "Accound home changed address from 192.0.2.7 to 198.51.100.9\n"},
                  {LOG_INFO, "Account home timeout (last seen at 198.51.100.9)\n"},
                  up("home", HOME_IP)}));
    EXPECT_EQ(effects(), (std::vector<std::string>{"home 192.0.2.7", "home 198.51.100.9",
                                                   "home 0.0.0.0", "home 192.0.2.7"}));
}

TEST_F(PresenceTest, SweepWaitsForNearestDeadline) {
    for (int32_t i = 0; i < 3; i++) {
        account *a = acct(i);
        a->flags = ACCOUNT_UP;
        a->last_seen = NOW;
        memcpy(a->address, HOME_IP.data(), 4);
    }
    acct(0)->timeout = 30;
    acct(1)->timeout = 5;
    acct(2)->timeout = 0;
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), 5000);
    acct(1)->flags = 0; // not up: its deadline no longer counts
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), 30000);
    acct(0)->timeout = -1;
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), -1);

    // Accounts without a timeout stay up however long they are silent.
    clock.advance(INT32_MAX);
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), -1);
    EXPECT_NE(acct(0)->flags & ACCOUNT_UP, 0);
    EXPECT_NE(acct(2)->flags & ACCOUNT_UP, 0);
    EXPECT_TRUE(cap.records().empty());
    EXPECT_TRUE(effects().empty());
}

// Beyond the 32-bit range of milliseconds the wait is capped, never made
// longer than what remains.
TEST_F(PresenceTest, LongRemainingTimeIsCapped) {
    home()->flags = ACCOUNT_UP;
    home()->last_seen = NOW;
    home()->timeout = INT32_MAX;
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), INT32_MAX);
    home()->timeout = INT32_MAX / 1000;
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), INT32_MAX / 1000 * 1000);
    home()->timeout = INT32_MAX / 1000 + 1;
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), INT32_MAX);
    home()->last_seen = INT64_MAX - 10; // a clock that ran far ahead
    EXPECT_EQ(presence_sweep(&table, nullptr, &tr), INT32_MAX);
    EXPECT_TRUE(cap.records().empty());
}

// With a remembered deadline the sweep walks the table only once that
// deadline has come; the timeout records still come in table order.
TEST_F(PresenceTest, SweepWalksOnlyWhenTheRememberedDeadlineHasCome) {
    presence_state ps = PRESENCE_WALK_NOW;
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), -1);
    EXPECT_EQ(ps.due, PRESENCE_NEVER);
    const int32_t timeouts[] = {30, 30, 10};
    const char *names[] = {"home", "office", "workshop"};
    for (int32_t i = 0; i < 3; i++) {
        acct(i)->timeout = timeouts[i];
        send(names[i], HOME_IP, HOME_IP, NOW, "", &ps);
    }
    EXPECT_EQ(ps.changes, 3u);
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 10000);

    clock.advance(5);
    send("workshop", HOME_IP, HOME_IP, NOW + 5, "", &ps); // its deadline moves to +15
    // Overdue, but nothing tells the sweep: it must not walk before +10.
    home()->last_seen = NOW - 100;
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 5000);
    EXPECT_NE(home()->flags & ACCOUNT_UP, 0);

    clock.advance(5);
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 5000); // walked: workshop at +15 is next
    EXPECT_EQ(home()->flags & ACCOUNT_UP, 0);
    // Coming up is the one way to a deadline before the remembered one.
    home()->timeout = 2;
    send("home", OTHER_IP, OTHER_IP, NOW + 10, "", &ps);
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 2000);

    clock.advance(20);
    cap.clear();
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), -1);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_INFO, "Account home timeout (last seen at 198.51.100.9)\n"},
                  {LOG_INFO, "Account office timeout (last seen at 192.0.2.7)\n"},
                  {LOG_INFO, "Account workshop timeout (last seen at 192.0.2.7)\n"}}));
    EXPECT_EQ(ps.due, PRESENCE_NEVER);
    EXPECT_EQ(ps.changes, 9u);
}

// Under no-replay a message older than the last accepted one is refused
// after the MAC check; the same second passes, and without the flag the
// clock may step back.
TEST_F(PresenceTest, ReplaysRefusedOnlyUnderNoReplay) {
    home()->flags = ACCOUNT_NO_REPLAY;
    send("home", HOME_IP, HOME_IP, NOW - 10);
    EXPECT_EQ(home()->last_msg, NOW - 10);
    const struct {
        uint8_t flags;
        time_t at;
        std::string key;
        std::vector<log_record> want;
    } cases[] = {
        {ACCOUNT_NO_REPLAY,
         NOW - 11,
         "home-key",
         {{LOG_WARNING, "Replayed message " + std::to_string(NOW - 11) + " vs " +
                            std::to_string(NOW - 10) + "\n"},
          {LOG_INFO, "Message at " + std::to_string(NOW - 11) + " (+11)"},
          {LOG_INFO, "    name \"home\" address 192.0.2.7\n"}}},
        {ACCOUNT_NO_REPLAY, NOW - 11, "forged", {{LOG_WARNING, "HMAC mismatch\n"}}},
        {ACCOUNT_NO_REPLAY, NOW - 10, "home-key", {}},
        {0, NOW - 20, "home-key", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.at);
        time_t last = home()->last_msg;
        home()->flags = static_cast<uint8_t>((home()->flags & ACCOUNT_UP) | c.flags);
        cap.clear();
        send("home", HOME_IP, HOME_IP, c.at, c.key);
        EXPECT_EQ(cap.records(), c.want);
        EXPECT_EQ(home()->last_msg, c.want.empty() ? c.at : last);
    }
}

// A failed receive is left to the loop that reported it; an empty datagram
// is the decoder's to report.
TEST_F(PresenceTest, FailedReceiveAndEmptyDatagramChangeNothing) {
    std::vector<uint8_t> good = datagram(std::to_string(NOW), "home", HOME_IP, "home-key");
    recv_slot failed = slot_of(good, HOME_IP);
    failed.len = -1;
    update_accept(&table, &failed);
    EXPECT_TRUE(cap.records().empty());
    recv_slot empty = slot_of(good, HOME_IP);
    empty.len = 0;
    update_accept(&table, &empty);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{{LOG_WARNING, "Message too short (packet truncated?)\n"}}));

    // A length beyond the buffer is held to it, never read past.
    std::vector<uint8_t> junk(RECV_SLOT_DATA, 'x');
    recv_slot oversized = slot_of(junk, HOME_IP);
    oversized.len = INT64_MAX;
    update_accept(&table, &oversized);
    expect_untouched(home());
}

// The address rule for IPv6 is the IPv4 one with 16 bytes; a message of
// one family from a peer of the other is refused whatever it announces,
// even :: under allow-unsafe.
TEST_F(PresenceTest, AddressRuleForIPv6AndAcrossFamilies) {
    struct row {
        const char *what;
        bool msg6, peer6, unsafe;
        addr6 msg, peer;
        addr4 msg4, peer4;
        std::vector<log_record> records;
        const char *effect;
    };
    auto mismatch = [](const std::string &peer, const std::string &msg) {
        return log_record{LOG_WARNING,
                          "Address mismatch between peer " + peer + " and message " + msg + "\n"};
    };
    const log_record up6 = {LOG_INFO, "Account home up (2001:db8::7)\n"};
    const row rows[] = {
        {"same", true, true, false, HOME6, HOME6, {}, {}, {up6}, "home 2001:db8::7"},
        {"other",
         true,
         true,
         true,
         HOME6,
         OTHER6,
         {},
         {},
         {mismatch("2001:db8::9", "2001:db8::7")},
         nullptr},
        {"unspecified, unsafe", true, true, true, ZERO6, HOME6, {}, {}, {up6}, "home 2001:db8::7"},
        {"unspecified, safe",
         true,
         true,
         false,
         ZERO6,
         OTHER6,
         {},
         {},
         {{LOG_WARNING, "Rejecting unsafe message\n"},
          {LOG_INFO, "Message from 2001:db8::9 at " + std::to_string(NOW - 5) + " (+5)"},
          {LOG_INFO, "    name \"home\" address ::\n"}},
         nullptr},
        {"IPv6 message, IPv4 peer",
         true,
         false,
         true,
         HOME6,
         {},
         {},
         HOME_IP,
         {mismatch("192.0.2.7", "2001:db8::7")},
         nullptr},
        {"::, IPv4 peer",
         true,
         false,
         true,
         ZERO6,
         {},
         {},
         HOME_IP,
         {mismatch("192.0.2.7", "::")},
         nullptr},
        {"IPv4 message, IPv6 peer",
         false,
         true,
         true,
         {},
         HOME6,
         HOME_IP,
         {},
         {mismatch("2001:db8::7", "192.0.2.7")},
         nullptr},
        {"0.0.0.0, IPv6 peer",
         false,
         true,
         true,
         {},
         HOME6,
         ZERO_IP,
         {},
         {mismatch("2001:db8::7", "0.0.0.0")},
         nullptr},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        presence_transitions_clear(&tr);
        cap.clear();
        home()->flags = r.unsafe ? ACCOUNT_ALLOW_UNSAFE : 0;
        home()->last_seen = home()->last_seen6 = 0;
        memset(home()->address, 0, 4);
        memset(home()->address6, 0, 16);
        std::vector<uint8_t> d =
            r.msg6 ? datagram6(std::to_string(NOW - 5), "home", r.msg, "home-key")
                   : datagram(std::to_string(NOW - 5), "home", r.msg4, "home-key");
        recv_slot s = r.peer6 ? slot6_of(d, r.peer) : slot_of(d, r.peer4);
        update_accept(&table, &s, nullptr, &tr);
        EXPECT_EQ(cap.records(), r.records);
        if (r.effect != nullptr) {
            EXPECT_EQ(effects(), std::vector<std::string>{r.effect});
            EXPECT_EQ(home()->flags & (ACCOUNT_UP | ACCOUNT_UP6), ACCOUNT_UP6);
            EXPECT_EQ(home()->last_seen6, NOW);
            EXPECT_EQ(home()->last_seen, 0);
        } else {
            expect_untouched(home());
            EXPECT_EQ(home()->flags & ACCOUNT_UP6, 0);
            EXPECT_EQ(home()->last_seen6, 0);
        }
    }
}

// A dual-stack account: each family comes up, changes and times out on its
// own, runs the effectors with its own address, and the remembered deadline
// is the earlier of the two.
TEST_F(PresenceTest, DualStackFamiliesComeAndGoApart) {
    presence_state ps = PRESENCE_WALK_NOW;
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), -1);
    home()->timeout = 60;
    send("home", HOME_IP, HOME_IP, NOW, "", &ps);
    clock.advance(30);
    send6("home", HOME6, HOME6, NOW + 30, &ps);
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 30000);
    clock.advance(10);
    send6("home", OTHER6, OTHER6, NOW + 40, &ps); // IPv6 deadline now +100
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 20000);
    EXPECT_EQ(
        addr4({home()->address[0], home()->address[1], home()->address[2], home()->address[3]}),
        HOME_IP);

    clock.advance(20); // +60: IPv4 is due, IPv6 is not
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), 40000);
    EXPECT_EQ(home()->flags & (ACCOUNT_UP | ACCOUNT_UP6), ACCOUNT_UP6);
    clock.advance(40);
    EXPECT_EQ(presence_sweep(&table, &ps, &tr), -1);
    EXPECT_EQ(home()->flags & (ACCOUNT_UP | ACCOUNT_UP6), 0);
    EXPECT_EQ(ps.due, PRESENCE_NEVER);

    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  up("home", HOME_IP),
                  {LOG_INFO, "Account home up (2001:db8::7)\n"},
                  {LOG_INFO, "Accound home changed address from 2001:db8::7 to 2001:db8::9\n"},
                  {LOG_INFO, "Account home timeout (last seen at 192.0.2.7)\n"},
                  {LOG_INFO, "Account home timeout (last seen at 2001:db8::9)\n"}}));
    EXPECT_EQ(effects(), (std::vector<std::string>{"home 192.0.2.7", "home 2001:db8::7",
                                                   "home 2001:db8::9", "home 0.0.0.0", "home ::"}));
}

// Each family refuses replays of its own messages only: a client sends both
// in one cycle with one time, and they may arrive in either order.
TEST_F(PresenceTest, ReplaysJudgedPerFamily) {
    home()->flags = ACCOUNT_NO_REPLAY;
    send("home", HOME_IP, HOME_IP, NOW);
    send6("home", HOME6, HOME6, NOW - 10);
    EXPECT_EQ(home()->last_msg6, NOW - 10);
    cap.clear();
    send6("home", HOME6, HOME6, NOW - 11);
    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_WARNING, "Replayed message " + std::to_string(NOW - 11) +
                                                   " vs " + std::to_string(NOW - 10) + "\n"},
                                 {LOG_INFO, "Message at " + std::to_string(NOW - 11) + " (+11)"},
                                 {LOG_INFO, "    name \"home\" address 2001:db8::7\n"}}));
    EXPECT_EQ(home()->last_msg, NOW);
}

// Under allow-unsafe the address comes from the sender, so a captured
// message of the last accepted second is taken only from that message's
// sender: replayed from elsewhere it would move the record. The IPv6
// message of the same cycle is its own family's and still passes.
TEST_F(PresenceTest, SameSecondTakenOnlyFromTheLastSender) {
    home()->flags = ACCOUNT_ALLOW_UNSAFE | ACCOUNT_NO_REPLAY;
    home()->timeout = 60;
    send("home", ZERO_IP, HOME_IP, NOW);
    cap.clear();
    const std::vector<log_record> replayed = {
        {LOG_WARNING,
         "Replayed message " + std::to_string(NOW) + " vs " + std::to_string(NOW) + "\n"},
        {LOG_INFO, "Message at " + std::to_string(NOW) + " (+0)"},
        {LOG_INFO, "    name \"home\" address 0.0.0.0\n"}};
    send("home", ZERO_IP, OTHER_IP, NOW);
    EXPECT_EQ(cap.records(), replayed);
    send("home", ZERO_IP, HOME_IP, NOW);
    send6("home", ZERO6, HOME6, NOW);
    EXPECT_EQ(cap.records().size(), replayed.size() + 1);
    EXPECT_EQ(cap.records().back().text, "Account home up (2001:db8::7)\n");
    EXPECT_EQ(
        addr4({home()->address[0], home()->address[1], home()->address[2], home()->address[3]}),
        HOME_IP);
    // Once timed out no sender of that second is known: from anywhere it is
    // refused, and a later second is taken as before.
    clock.advance(60);
    presence_sweep(&table, nullptr, &tr);
    cap.clear();
    send("home", ZERO_IP, HOME_IP, NOW);
    EXPECT_EQ(cap.records().front(), replayed.front());
    EXPECT_EQ(cap.records().size(), replayed.size());
    send("home", ZERO_IP, OTHER_IP, NOW + 1);
    EXPECT_EQ(cap.records().back(), up("home", OTHER_IP));
    EXPECT_EQ(effects(),
              (std::vector<std::string>{"home 192.0.2.7", "home 2001:db8::7", "home 0.0.0.0",
                                        "home ::", "home 198.51.100.9"}));
}

// A reload carries both families of an unchanged account and takes both
// down, each with its own record, for a removed one.
TEST_F(PresenceTest, ReloadCarriesAndRemovesBothFamilies) {
    send("home", HOME_IP, HOME_IP, NOW - 1);
    send6("home", HOME6, HOME6, NOW - 2);
    send6("office", OTHER6, OTHER6, NOW - 3);
    array next = {};
    array_init(&next, sizeof(account));
    for (int32_t i : {0, 2}) { // office is removed
        int32_t k = array_append(&next);
        ASSERT_GE(k, 0);
        account *a = static_cast<account *>(array_get(&next, k));
        *a = *acct(i);
        memset(a->address, 0, 4);
        memset(a->address6, 0, 16);
        a->flags = 0;
        a->last_seen = a->last_seen6 = a->last_msg = a->last_msg6 = 0;
    }
    presence_transitions_clear(&tr);
    cap.clear();
    presence_state ps = {PRESENCE_NEVER, 0};
    presence_carry(&next, &table, &ps, &tr);

    const auto *h = static_cast<const account *>(array_get(&next, 0));
    EXPECT_EQ(h->flags & (ACCOUNT_UP | ACCOUNT_UP6), ACCOUNT_UP | ACCOUNT_UP6);
    EXPECT_EQ(addr6(std::to_array(h->address6)), HOME6);
    EXPECT_EQ(h->last_msg, NOW - 1);
    EXPECT_EQ(h->last_msg6, NOW - 2);
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_INFO, "Account office removed (last seen at 2001:db8::9)\n"}}));
    EXPECT_EQ(effects(), std::vector<std::string>{"office ::"});
    EXPECT_EQ(ps.changes, 1u);
    array_free(&next);
}

TEST(UpdateMsgDump, FourFirstRecordsAndTwoSecondOnes) {
    FakeClock clock{1000};
    const uint8_t peer[4] = {203, 0, 113, 5};
    const uint8_t addr[4] = {10, 1, 2, 3};
    struct row {
        time_t time;
        const char *name;
        const uint8_t *peer;
        const char *first, *second;
    };
    const row rows[] = {
        {990, "home", peer, "Message from 203.0.113.5 at 990 (+10)",
         "    name \"home\" address 10.1.2.3\n"},
        {1010, "home", nullptr, "Message at 1010 (-10)", "    name \"home\" address 10.1.2.3\n"},
        {0, "", peer, "Message from 203.0.113.5", " address 10.1.2.3\n"},
        {0, "", nullptr, "Message", " address 10.1.2.3\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.first);
        LogCapture cap;
        update_msg m = {};
        m.time = r.time;
        m.name = r.name;
        m.name_len = strlen(r.name);
        memcpy(m.addr, addr, 4);
        update_msg_dump(&m, r.peer);
        EXPECT_EQ(cap.records(),
                  (std::vector<log_record>{{LOG_INFO, r.first}, {LOG_INFO, r.second}}));
    }
}

} // namespace
