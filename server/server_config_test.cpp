// The server configuration: option rules on parsed forms, and loads and
// reloads of real files with real UDP sockets on 127.0.0.1.
#include "server/server_config.h"

#include "common/csexp/sx_reader.h"
#include "tests/support/engine_drive.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

using records = std::vector<log_record>;

// Text read into a tree with the reader the server uses.
struct parsed {
    sx_block block{};
    explicit parsed(const std::string &text) {
        FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        EXPECT_NE(f, nullptr);
        if (f == nullptr)
            return;
        EXPECT_EQ(sx_read_file(&block, f, 4096, 4096, 64), 0);
        fclose(f);
    }
    ~parsed() { sx_free(&block); }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;
    const sx_node *first() const { return block.nsize > 0 ? &block.nodes[0] : nullptr; }
};

std::string bytes(const void *p, uint64_t n) {
    return n > 0 ? std::string(static_cast<const char *>(p), n) : std::string();
}

// A sibling chain written back as text, lists in parentheses.
std::string render(const sx_node *n) {
    std::string out;
    for (; n != nullptr; n = n->next) {
        if (!out.empty())
            out += ' ';
        out += sx_is_list(n) ? "(" + render(sx_first(n)) + ")" : bytes(n->ptr, n->len);
    }
    return out;
}

std::string describe(const account &a) {
    return bytes(a.name, a.name_len) + " key=" + bytes(a.key, a.key_len) +
           " past=" + std::to_string(a.max_past) + " future=" + std::to_string(a.max_future) +
           " timeout=" + std::to_string(a.timeout) + " flags=" + std::to_string(a.flags) +
           " effectors=" + render(a.effectors.nsize > 0 ? &a.effectors.nodes[0] : nullptr);
}

account blank_account() {
    account a{};
    a.max_future = -1;
    a.max_past = -1;
    a.timeout = -1;
    return a;
}

// The record the address lookup of (listen SERVICE [HOST]) gives.
std::string lookup_failure(const char *host, const char *service, int family = AF_INET) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host, service, &hints, &res);
    EXPECT_NE(rc, 0);
    if (rc == 0)
        freeaddrinfo(res);
    return std::string("Address lookup of ") + (host ? host : "*") + ":" + service +
           " failed: " + gai_strerror(rc) + "\n";
}

sockaddr_in local_address(int fd) {
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len), 0);
    return sin;
}

TEST(AccountOptions, NumbersFlagsAndUnknownWords) {
    struct row {
        const char *text;
        int32_t past, future, timeout;
        uint8_t flags;
        records logged;
    };
    const row rows[] = {
        {"(interval 300)", 300, 300, -1, 0, {}},
        {"(interval 300 60)", 300, 60, -1, 0, {}},
        {"(interval 300 soon)", 300, -1, -1, 0, {}},
        {"(max-past 10) (max-future 20) (timeout 30)", 10, 20, 30, 0, {}},
        {"(interval 5) (max-future 7)", 5, 7, -1, 0, {}},
        {"(timeout 10s)", -1, -1, -1, 0, {}},
        {"(timeout -5)", -1, -1, -1, 0, {}},
        {"(timeout -0)", -1, -1, 0, 0, {}},
        {R"((timeout ""))", -1, -1, 0, 0, {}},
        {R"((timeout " +7"))", -1, -1, 7, 0, {}},
        {R"((timeout "7 "))", -1, -1, -1, 0, {}},
        {R"((timeout "  "))", -1, -1, -1, 0, {}},
        {R"((timeout "1\0002"))", -1, -1, -1, 0, {}},
        {"(timeout 0x10)", -1, -1, -1, 0, {}},
        {"(timeout (5))", -1, -1, -1, 0, {}},
        {"(timeout 7 8)", -1, -1, 7, 0, {}},
        {"(timeout 2147483647)", -1, -1, INT32_MAX, 0, {}},
        {"(timeout 2147483648)", -1, -1, INT32_MAX, 0, {}},
        {"(timeout 99999999999999999999999999)", -1, -1, INT32_MAX, 0, {}},
        {"(timeout -99999999999999999999999999)", -1, -1, -1, 0, {}},
        {"(timeout 9) (timeout) (interval) (flags)", -1, -1, 9, 0, {}},
        {"timeout 5 ((timeout) 5) () (timeout 6)", -1, -1, 6, 0, {}},
        {"(flags allow-unsafe no_unsafe)", -1, -1, -1, 0, {}},
        {"(flag allow_unsafe)", -1, -1, -1, ACCOUNT_ALLOW_UNSAFE, {}},
        {"(flags forbid-unsafe allow-unsafe)", -1, -1, -1, ACCOUNT_ALLOW_UNSAFE, {}},
        {"(flags allow-unsafe forbid_unsafe)", -1, -1, -1, 0, {}},
        {"(flags allow-unsafe) (flag no-unsafe)", -1, -1, -1, 0, {}},
        {"(flags no-replay allow-unsafe)",
         -1,
         -1,
         -1,
         ACCOUNT_NO_REPLAY | ACCOUNT_ALLOW_UNSAFE,
         {}},
        {"(flags no_replay allow_replay)", -1, -1, -1, 0, {}},
        {"(flag allow-replay no_replay)", -1, -1, -1, ACCOUNT_NO_REPLAY, {}},
        {"(flags allow-unsafe (no-unsafe) Allow-Unsafe)",
         -1,
         -1,
         -1,
         ACCOUNT_ALLOW_UNSAFE,
         {{LOG_WARNING, "Unknown account flag \"Allow-Unsafe\"\n"}}},
        {R"((flags "allow-unsafe\000x"))",
         -1,
         -1,
         -1,
         0,
         {{LOG_WARNING, "Unknown account flag \"allow-unsafe\"\n"}}},
        {"(Timeout 5) (colour blue) (timeout 4)",
         -1,
         -1,
         4,
         0,
         {{LOG_WARNING, "Unknown account option \"Timeout\"\n"},
          {LOG_WARNING, "Unknown account option \"colour\"\n"}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        parsed p(r.text);
        account a = blank_account();
        LogCapture cap;
        account_set_options(&a, p.first());
        EXPECT_EQ(a.max_past, r.past);
        EXPECT_EQ(a.max_future, r.future);
        EXPECT_EQ(a.timeout, r.timeout);
        EXPECT_EQ(a.flags, r.flags);
        EXPECT_EQ(cap.records(), r.logged);
        account_release(&a);
    }
}

TEST(AccountOptions, NameKeyAndEffectorsAreOwnedCopies) {
    account a = blank_account();
    {
        parsed p(R"((name home) (key "s\000cret") (name Other) (name (x)) (key))"
                 R"( (effector (zone a) (kill b)) (effector (system "c d") (kill e)) (effector))");
        account_set_options(&a, p.first());
    }
    // The tree is gone: everything below lives in the record's own storage.
    EXPECT_EQ(bytes(a.name, a.name_len), "Other");
    EXPECT_EQ(bytes(a.key, a.key_len), std::string("s\0cret", 6));
    EXPECT_EQ(render(&a.effectors.nodes[0]), "(system c d) (kill e)");

    parsed empty(R"((name "") (key ""))");
    account_set_options(&a, empty.first());
    EXPECT_EQ(a.name, nullptr);
    EXPECT_EQ(a.name_len, 0u);
    EXPECT_EQ(a.key, nullptr);
    EXPECT_EQ(a.key_len, 0u);
    account_release(&a);
    EXPECT_EQ(a.effectors.nsize, 0u);
}

TEST(AccountOrder, LengthFirstThenCaseFoldedBytes) {
    struct row {
        std::string a, b;
        int sign;
    };
    const row rows[] = {
        {"c", "aa", -1},
        {"aa", "AB", -1},
        {"AB", "ab", 0},
        {"Bb", "ab", 1},
        {"home", "HOME", 0},
        {"hom", "home", -1},
        {std::string("a\0b", 3), std::string("a\0C", 3), -1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.a + " vs " + r.b);
        account x{}, y{};
        x.name = const_cast<char *>(r.a.data());
        x.name_len = r.a.size();
        y.name = const_cast<char *>(r.b.data());
        y.name_len = r.b.size();
        int c = account_cmp(&x, &y);
        EXPECT_EQ((c > 0) - (c < 0), r.sign);
        c = account_cmp(&y, &x);
        EXPECT_EQ((c > 0) - (c < 0), -r.sign);
    }
    account x{}, y{};
    x.name = const_cast<char *>("a");
    x.name_len = 1;
    y.name = const_cast<char *>("abcd");
    y.name_len = 4;
    EXPECT_EQ(account_cmp(&x, &y), -3);
}

class ServerConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zorvel-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/server.conf";
        cfg.path = path.c_str();
        cfg.mtime = 0;
        array_init(&cfg.accounts, sizeof(account));
        array_init(&cfg.pollfds, sizeof(pollfd));
    }
    void TearDown() override {
        for (int32_t i = 0; i < cfg.pollfds.count; i++)
            close(pollfd_at(i).fd);
        server_config_release(&cfg);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }

    // Writes the file and gives it the modification time mtime.
    void write(const std::string &text, time_t mtime) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        touch(mtime);
    }
    void touch(time_t mtime) {
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << strerror(errno);
    }
    records load() {
        cap.clear();
        server_config_load(&cfg);
        return cap.records();
    }

    account &acct(int32_t i) { return *static_cast<account *>(array_get(&cfg.accounts, i)); }
    const pollfd &pollfd_at(int32_t i) {
        return *static_cast<pollfd *>(array_get(&cfg.pollfds, i));
    }
    std::vector<std::string> accounts() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < cfg.accounts.count; i++)
            out.push_back(describe(acct(i)));
        return out;
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < cfg.accounts.count; i++)
            out.push_back(bytes(acct(i).name, acct(i).name_len));
        return out;
    }
    void set_up(account &a) {
        a.flags |= ACCOUNT_UP;
        a.address[0] = 192;
        a.address[3] = 7;
        a.last_seen = 77;
    }

    LogCapture cap;
    server_config cfg{};
    std::string dir, path;
};

const log_record listening_on_1{LOG_INFO, "Listening on 1 sockets\n"};

TEST_F(ServerConfig, DefaultsShapeOnlyLaterAccountsAndTheTableIsSorted) {
    write(R"((listen 0 127.0.0.1)
(account (name first) (key k1))
(default (key shared) (timeout 60) (flags allow-unsafe) (effector (system "echo up")))
(account (name second))
(defaults (name third) (interval 5))
(account (max-future 9))
(account (name fourth) (key own) (timeout 1) (flags no-unsafe) (effector (kill pid)))
)",
          1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    EXPECT_EQ(accounts(),
              (std::vector<std::string>{
                  "first key=k1 past=-1 future=-1 timeout=-1 flags=0 effectors=",
                  "third key=shared past=5 future=9 timeout=60 flags=1 "
                  "effectors=(system echo up)",
                  "fourth key=own past=5 future=5 timeout=1 flags=0 effectors=(kill pid)",
                  "second key=shared past=-1 future=-1 timeout=60 flags=1 "
                  "effectors=(system echo up)",
              }));
    for (int32_t i = 0; i < cfg.accounts.count; i++) {
        const uint8_t none[4] = {0, 0, 0, 0};
        EXPECT_EQ(memcmp(acct(i).address, none, 4), 0);
        EXPECT_EQ(acct(i).last_seen, 0);
    }
    EXPECT_NE(acct(1).effectors.nodes, acct(3).effectors.nodes);
}

TEST_F(ServerConfig, AccountsWithoutNameOrKeyAreLeftOutSilently) {
    write(R"((listen 0 127.0.0.1)
(account (name a))
(account (key k))
(account (name "") (key k))
(account (name b) (key ""))
(account (name (c)) (key k))
(account (name kept) (key k))
)",
          1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    EXPECT_EQ(names(), (std::vector<std::string>{"kept"}));
}

TEST_F(ServerConfig, UnknownWordsAreLoggedAndShapelessFormsSkipped) {
    write(R"((listen 0 127.0.0.1)
(bogus 1)
(bogus)
word
((account) (name x) (key k))
(account)
(account (name a) (key k) (colour blue) (flags shiny allow-unsafe))
(Account (name b) (key k))
)",
          1000);
    EXPECT_EQ(load(), (records{
                          {LOG_WARNING, "Unknown server option \"bogus\"\n"},
                          {LOG_WARNING, "Unknown account option \"colour\"\n"},
                          {LOG_WARNING, "Unknown account flag \"shiny\"\n"},
                          {LOG_WARNING, "Unknown server option \"Account\"\n"},
                          listening_on_1,
                      }));
    EXPECT_EQ(names(), (std::vector<std::string>{"a"}));
}

TEST_F(ServerConfig, ListenFormsOpenOneSocketPerAddress) {
    write(R"((listen 0)
(listen 0 127.0.0.1 extra)
(listen (0) 127.0.0.1)
(listen 0 (127.0.0.1))
(listen zorvel-no-such-service 127.0.0.1)
(listen zorvel-no-such-service)
(listen)
)",
          1000);
    EXPECT_EQ(load(), (records{
                          {LOG_ERR, lookup_failure("127.0.0.1", "zorvel-no-such-service")},
                          {LOG_ERR, lookup_failure(nullptr, "zorvel-no-such-service")},
                          {LOG_INFO, "Listening on 3 sockets\n"},
                      }));
    ASSERT_EQ(cfg.pollfds.count, 3);
    const char *expected[] = {"0.0.0.0", "127.0.0.1", "0.0.0.0"};
    for (int32_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const pollfd &p = pollfd_at(i);
        EXPECT_EQ(p.events, POLLIN);
        sockaddr_in sin = local_address(p.fd);
        EXPECT_STREQ(inet_ntoa(sin.sin_addr), expected[i]);
        EXPECT_NE(sin.sin_port, 0);
        EXPECT_TRUE(fcntl(p.fd, F_GETFD) & FD_CLOEXEC);
    }
}

// listen6 opens IPv6-only sockets, counted with the IPv4 ones; each form
// looks its host up in its own family only.
TEST_F(ServerConfig, Listen6OpensIPv6OnlySockets) {
    write(R"((listen6 0 ::1)
(listen 0 ::1)
(listen6 0 127.0.0.1)
(listen 0 127.0.0.1)
(listen6 0 "0:0::1")
)",
          1000);
    EXPECT_EQ(load(), (records{
                          {LOG_ERR, lookup_failure("::1", "0")},
                          {LOG_ERR, lookup_failure("127.0.0.1", "0", AF_INET6)},
                          {LOG_INFO, "Listening on 3 sockets\n"},
                      }));
    ASSERT_EQ(cfg.pollfds.count, 3);
    const int families[] = {AF_INET6, AF_INET, AF_INET6};
    for (int32_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        int fd = pollfd_at(i).fd;
        sockaddr_in6 sin6{};
        socklen_t len = sizeof sin6;
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sin6), &len), 0);
        EXPECT_EQ(sin6.sin6_family, families[i]);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        if (families[i] != AF_INET6)
            continue;
        EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&sin6.sin6_addr));
        int only = 0;
        socklen_t olen = sizeof only;
        ASSERT_EQ(getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, &olen), 0);
        EXPECT_EQ(only, 1);
    }

    // Kept over a reload like the IPv4 sockets, port 0 keeping the port
    // each was given.
    std::vector<int> fds;
    for (int32_t i = 0; i < 3; i++)
        fds.push_back(pollfd_at(i).fd);
    write("(listen6 0 ::1) (listen 0 127.0.0.1) (listen6 0 \"0:0::1\") (account (name a) (key k))",
          2000);
    EXPECT_EQ(load(), (records{{LOG_INFO, "Listening on 3 sockets\n"}}));
    for (int32_t i = 0; i < 3; i++)
        EXPECT_EQ(pollfd_at(i).fd, fds[static_cast<size_t>(i)]);
}

TEST_F(ServerConfig, EveryLoadNeedsASocket) {
    write("(account (name a) (key k))", 1000);
    EXPECT_EQ(load(), (records{{LOG_ERR, "No valid listening socket from \"" + path + "\"\n"}}));
    EXPECT_EQ(cfg.accounts.count, 0);
    EXPECT_EQ(cfg.pollfds.count, 0);
    EXPECT_EQ(cfg.mtime, 1000);
    EXPECT_EQ(load(), records{}); // not read again until the file changes

    write("(listen 0 127.0.0.1) (account (name a) (key k))", 2000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    ASSERT_EQ(cfg.pollfds.count, 1);
    int fd = pollfd_at(0).fd;

    // Without a listen form a reload would close every socket: refused,
    // the running configuration stays.
    write("(account (name b) (key k))", 3000);
    EXPECT_EQ(load(), (records{{LOG_ERR, "No valid listening socket from \"" + path + "\"\n"}}));
    EXPECT_EQ(names(), (std::vector<std::string>{"a"}));
    ASSERT_EQ(cfg.pollfds.count, 1);
    EXPECT_EQ(pollfd_at(0).fd, fd);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST_F(ServerConfig, AnyChangeOfModificationTimeReloadsAndCarriesPresence) {
    write("(listen 0 127.0.0.1) (account (name home) (key k) (timeout 30))", 1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    set_up(acct(0));

    EXPECT_EQ(load(), records{});
    EXPECT_EQ(acct(0).flags, ACCOUNT_UP);

    touch(999); // an earlier time counts as a change too
    EXPECT_EQ(load(), (records{listening_on_1}));
    EXPECT_EQ(cfg.mtime, 999);
    ASSERT_EQ(cfg.accounts.count, 1);
    EXPECT_EQ(acct(0).flags, ACCOUNT_UP);
    EXPECT_EQ(acct(0).address[0], 192);
    EXPECT_EQ(acct(0).address[3], 7);
    EXPECT_EQ(acct(0).last_seen, 77);
    EXPECT_EQ(acct(0).timeout, 30);
}

// A reload carries the presence of every account whose effector forms stay
// the same (however they are written) and takes down, with its old
// effectors, every up account that loses its successor.
TEST_F(ServerConfig, ReloadCarriesUnchangedAccountsAndTakesDownTheOthers) {
    const std::string out = dir + "/effects";
    auto effector = [&](const std::string &word, const std::string &gap = " ") {
        return "(effector" + gap + "(system \"echo " + word + " \" (name) \" \" (addr) \" >> " +
               out + "\"))";
    };
    write("(listen 0 127.0.0.1)\n"
          "(account (name keep) (key k) (timeout 30) " +
              effector("a") + ")\n(account (name swap) (key k) " + effector("a") +
              ")\n(account (name gone) (key k) " + effector("a") +
              ")\n(account (name idle) (key k) " + effector("a") + ")\n",
          1000);
    load();
    EXPECT_EQ(names(), (std::vector<std::string>{"gone", "idle", "keep", "swap"}));
    for (int32_t i : {0, 2, 3}) {
        set_up(acct(i));
        acct(i).last_msg = 70 + i;
    }

    // keep: same forms, other spacing and a new timeout; swap: one byte of
    // its command changed; gone: removed; idle: not up, nothing to do.
    write("(listen 0 127.0.0.1)\n"
          "(account (name KEEP) (key other) (timeout 60) " +
              effector("a", "\n   ") + ")\n(account (name swap) (key k) " + effector("b") +
              ")\n(account (name idle) (key k) " + effector("a") + ")\n",
          2000);
    EXPECT_EQ(load(), (records{listening_on_1,
                               {LOG_INFO, "Account gone removed (last seen at 192.0.0.7)\n"},
                               {LOG_INFO, "Account swap removed (last seen at 192.0.0.7)\n"}}));
    engine_drive_once(&cfg.transitions);
    // Two accounts' commands run side by side: their lines come in either order.
    std::string effects = read_file(out);
    EXPECT_TRUE(effects == "a gone 0.0.0.0\na swap 0.0.0.0\n" ||
                effects == "a swap 0.0.0.0\na gone 0.0.0.0\n")
        << effects;
    auto presence = [&](int32_t i) {
        const account &a = acct(i);
        return bytes(a.name, a.name_len) + " flags=" + std::to_string(a.flags) + " " +
               std::to_string(a.address[0]) + "." + std::to_string(a.address[3]) +
               " seen=" + std::to_string(a.last_seen) + " msg=" + std::to_string(a.last_msg) +
               " timeout=" + std::to_string(a.timeout);
    };
    ASSERT_EQ(cfg.accounts.count, 3);
    EXPECT_EQ(presence(0), "idle flags=0 0.0 seen=0 msg=0 timeout=-1");
    EXPECT_EQ(presence(1), "KEEP flags=2 192.7 seen=77 msg=72 timeout=60");
    // Replays stay refused across an effector change.
    EXPECT_EQ(presence(2), "swap flags=0 0.0 seen=0 msg=73 timeout=-1");
    EXPECT_EQ(cfg.presence.due, 0); // the next sweep walks the new table once
}

// A reload keeps the socket of an address still asked for, without binding
// it again, binds only what is new and closes what no form asks for any
// more; the sockets follow the order of the forms.
TEST_F(ServerConfig, ReloadKeepsUnchangedSocketsAndClosesDroppedOnes) {
    write("(listen 0 127.0.0.1) (account (name a) (key k))", 1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    ASSERT_EQ(cfg.pollfds.count, 1);
    const int kept = pollfd_at(0).fd;
    const sockaddr_in kept_at = local_address(kept);
    const std::string port = std::to_string(ntohs(kept_at.sin_port));
    auto port_of = [&](int32_t i) {
        return std::to_string(ntohs(local_address(pollfd_at(i).fd).sin_port));
    };

    // The port-0 form comes first, yet the socket stays with the form that
    // names its port: the port-0 one gets a new socket.
    write("(listen 0 127.0.0.1) (listen " + port +
              " 127.0.0.1) (listen 0 127.0.0.2) "
              "(account (name b) (key k))",
          2000);
    records got = load();
    ASSERT_EQ(cfg.pollfds.count, 3);
    EXPECT_EQ(pollfd_at(1).fd, kept);
    EXPECT_EQ(got, (records{{LOG_INFO, "Socket opened on 127.0.0.1 port " + port_of(0) + "\n"},
                            {LOG_INFO, "Socket opened on 127.0.0.2 port " + port_of(2) + "\n"},
                            {LOG_INFO, "Listening on 3 sockets\n"}}));
    EXPECT_EQ(names(), (std::vector<std::string>{"b"}));

    // The kept socket still receives on its address.
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in to = kept_at;
    ASSERT_EQ(sendto(sender, "ping", 4, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 4);
    close(sender);
    pollfd p{kept, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    char buf[8];
    EXPECT_EQ(recv(kept, buf, sizeof buf, MSG_DONTWAIT), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");

    // Both 127.0.0.1 forms gone: their sockets close, and the port is free.
    const std::string other = port_of(0);
    const int third = pollfd_at(2).fd;
    write("(listen 0 127.0.0.2) (account (name b) (key k))", 3000);
    EXPECT_EQ(load(), (records{{LOG_INFO, "Socket closed on 127.0.0.1 port " + other + "\n"},
                               {LOG_INFO, "Socket closed on 127.0.0.1 port " + port + "\n"},
                               listening_on_1}));
    ASSERT_EQ(cfg.pollfds.count, 1);
    EXPECT_EQ(pollfd_at(0).fd, third);
    int again = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(again, 0);
    EXPECT_EQ(bind(again, reinterpret_cast<const sockaddr *>(&kept_at), sizeof kept_at), 0)
        << strerror(errno);
    close(again);
}

// A port that moves from the wildcard to one address is in use by the
// socket the reload is about to close: it is bound once that has closed.
TEST_F(ServerConfig, ReloadNarrowingAnAddressTakesOverItsPort) {
    const std::string port = std::to_string(free_udp_port());
    write("(listen " + port + ") (account (name a) (key k))", 1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    write("(listen " + port + " 127.0.0.1) (account (name a) (key k))", 2000);
    EXPECT_EQ(load(), (records{{LOG_INFO, "Socket closed on 0.0.0.0 port " + port + "\n"},
                               {LOG_INFO, "Socket opened on 127.0.0.1 port " + port + "\n"},
                               listening_on_1}));
    ASSERT_EQ(cfg.pollfds.count, 1);
    sockaddr_in at = local_address(pollfd_at(0).fd);
    EXPECT_STREQ(inet_ntoa(at.sin_addr), "127.0.0.1");
    EXPECT_EQ(std::to_string(ntohs(at.sin_port)), port);
}

// A reload that catches the file cut short, as an editor that writes in
// place leaves it for a moment, refuses it whole with one record; a cut
// between two forms is a whole shorter file and is loaded as such.
TEST_F(ServerConfig, ReloadRefusesTheFileCutAnywhereInsideAForm) {
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"(listen 0 127.0.0.1)", ""},
        {"(default (key k) (timeout 30))", ""},
        {"(account (name home) (effector (zone \"/nonexistent/zone\")))", "home"},
        {"(account (name office) (key \"k 2\"))", "office"},
        {"(account (name #6c6170746f70#) (flags allow-unsafe))", "laptop"},
    };
    std::string text;
    std::vector<size_t> starts, ends;
    for (const auto &f : forms) {
        starts.push_back(text.size());
        text += f.first;
        ends.push_back(text.size());
        text += "\n";
    }
    write(text, 1000);
    load();
    ASSERT_EQ(names(), (std::vector<std::string>{"home", "laptop", "office"}));
    const std::string cut_record =
        "Configuration file \"" + path + "\" ends inside a list or an atom, not loaded\n";

    for (size_t k = 0; k < text.size(); k++) {
        SCOPED_TRACE("cut after " + std::to_string(k) + " bytes");
        for (int32_t i = 0; i < cfg.accounts.count; i++)
            set_up(acct(i));
        const void *table = cfg.accounts.data;
        std::vector<std::string> running = names();
        bool inside = false;
        std::vector<std::string> whole;
        for (size_t f = 0; f < forms.size(); f++) {
            inside = inside || (k > starts[f] && k < ends[f]);
            if (k >= ends[f] && !forms[f].second.empty())
                whole.push_back(forms[f].second);
        }
        std::sort(whole.begin(), whole.end(), [](const std::string &a, const std::string &b) {
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });
        write(text.substr(0, k), 2000 + static_cast<time_t>(k));
        records got = load();
        if (inside || k == 0) {
            EXPECT_EQ(got, (records{{LOG_ERR, k == 0 ? "Empty configuration file \"" + path + "\"\n"
                                                     : cut_record}}));
            EXPECT_EQ(cfg.accounts.data, table);
            EXPECT_EQ(names(), running);
            for (int32_t i = 0; i < cfg.accounts.count; i++)
                EXPECT_EQ(acct(i).flags & ACCOUNT_UP, ACCOUNT_UP);
        } else {
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got[0].text.rfind("Listening on ", 0), 0u) << got[0].text;
            EXPECT_EQ(names(), whole);
        }
    }
}

// Whatever the file turns into, the running configuration and its presence
// stay, with one record per change of the file, not one per pass; a FIFO
// without a writer does not hold the load up.
TEST_F(ServerConfig, FailedReloadKeepsTheRunningConfigurationAndPresence) {
    write("(listen 0 127.0.0.1) (account (name home) (key k))", 1000);
    EXPECT_EQ(load(), (records{listening_on_1}));
    set_up(acct(0));
    const void *table = cfg.accounts.data;

    auto clear_path = [&] {
        if (unlink(path.c_str()) != 0)
            rmdir(path.c_str());
    };
    int un = -1;
    auto make_socket = [&] {
        clear_path();
        un = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        memcpy(sun.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(bind(un, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    };
    ASSERT_LT(path.size(), sizeof(sockaddr_un::sun_path));
    const std::string cut_record =
        "Configuration file \"" + path + "\" ends inside a list or an atom, not loaded\n";
    const std::string not_regular = "Configuration file \"" + path + "\" is not a regular file\n";
    const struct {
        const char *label;
        std::function<void()> make;
        std::string record;
    } rows[] = {
        {"emptied", [&] { write("", 2000); }, "Empty configuration file \"" + path + "\"\n"},
        {"cut inside a form",
         [&] { write("(listen 0 127.0.0.1) (account (name home) (key", 3000); }, cut_record},
        {"cut inside an atom", [&] { write("(listen 0 127.0.0.1) a-token-without-end", 3001); },
         cut_record},
        {"a directory",
         [&] {
             clear_path();
             ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
             touch(4000);
         },
         not_regular},
        {"a FIFO without a writer",
         [&] {
             clear_path();
             ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
             touch(5000);
         },
         not_regular},
        // Examined, yet not opened, even by root.
        {"a socket",
         [&] {
             make_socket();
             touch(6000);
         },
         "Unable to open configuration file \"" + path + "\": " + strerror(ENXIO) + "\n"},
        {"deleted", [&] { clear_path(); },
         "Unable to stat \"" + path + "\": " + strerror(ENOENT) + "\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.label);
        r.make();
        EXPECT_EQ(load(), (records{{LOG_ERR, r.record}}));
        EXPECT_EQ(load(), records{});
        EXPECT_EQ(cfg.accounts.data, table);
        ASSERT_EQ(cfg.accounts.count, 1);
        EXPECT_EQ(acct(0).flags, ACCOUNT_UP);
        EXPECT_EQ(acct(0).address[0], 192);
        EXPECT_EQ(acct(0).last_seen, 77);
        EXPECT_EQ(cfg.pollfds.count, 1);
    }
    close(un);

    // Back with the very time and size of the last attempt: read all the
    // same, as a file moved back into place would be.
    const std::string back = "(listen 0 127.0.0.1) (account (name home) (key k))";
    write(back, 6000);
    cfg.size = static_cast<off_t>(back.size());
    cfg.mtime = 6000;
    EXPECT_EQ(load(), (records{listening_on_1}));
    EXPECT_EQ(acct(0).flags, ACCOUNT_UP);
}

} // namespace
