// The whole system against a real authoritative name server on loopback,
// a client with an address of its own in a network namespace, and the
// example configurations that operators copy.
#include "client/client_config.h"
#include "server/server_config.h"
#include "tests/support/dns_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <iostream>
#include <poll.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#ifdef __linux__
#include <sched.h>
#endif

namespace {

const char kKey[] = "|em9ydmVsIHRlc3Qga2V5LCBub3QgYSBzZWNyZXQ=|";

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
    for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size()))
        s.replace(i, from.size(), to);
    return s;
}

// Runs argv to its end (bounded) and returns its exit status, -1 when it
// did not exit normally in time.
int run(const std::vector<std::string> &argv, const std::string &err_path = {}) {
    ChildProcess p = ChildProcess::spawn(argv, {}, err_path);
    auto st = p.wait(20s);
    return st ? exit_code(*st) : -1;
}

// Today's serial with the given count, as the zone effector writes it.
std::string serial_today(int count) {
    time_t now = time(nullptr);
    tm t{};
    gmtime_r(&now, &t);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, count);
    return buf;
}

// The rewritten zone must still be one that a name server loads.
bool zone_checks(const std::string &zone_file, std::string *report) {
    std::string checker = find_tool("kzonecheck");
    if (checker.empty()) {
        *report = "kzonecheck missing: run scripts/install-deps";
        return false;
    }
    std::string err = zone_file + ".check";
    int rc = run({checker, "-o", "example.test.", zone_file}, err);
    *report = read_file(err) + "\n" + read_file(zone_file);
    return rc == 0;
}

TEST(NameServer, AnnouncedAddressIsAnsweredUntilTheAccountTimesOut) {
    TempDir dir;
    SyslogCapture log;
    std::string why;
    bool have_log = log.start(&why);
    if (!have_log)
        std::cerr << "syslog records are not checked: " << why << "\n";

    // The serial's date lies in the past, so the first update makes it
    // today's with count 01. The name "laptop2" must not be taken for
    // "laptop", and the old address of laptop must be replaced.
    std::string zone =
        dir.write("example.test.zone", "$ORIGIN example.test.\n"
                                       "$TTL 60\n"
                                       "@ IN SOA ns hostmaster 2000010101 3600 600 86400 60\n"
                                       "@ IN NS ns\n"
                                       "ns IN A 127.0.0.1\n"
                                       "laptop2 IN A 192.0.2.2\n"
                                       "laptop 300 IN A 192.0.2.1 ; old\n");
    TestNameServer ns(ns_kind::knot_file, dir);
    std::string failure = ns.start();
    ASSERT_TRUE(failure.empty()) << failure;
    EXPECT_EQ(ns.query("laptop.example.test", "A"), (std::vector<std::string>{"192.0.2.1"}));

    int port = free_udp_port();
    std::string server_conf =
        dir.write("server.conf", "(listen " + std::to_string(port) +
                                     " 127.0.0.1)\n"
                                     "(account (name laptop) (key " +
                                     kKey +
                                     ") (interval 30) (timeout 2)\n"
                                     "         (flags allow-unsafe)\n"
                                     "         (effector (zone " +
                                     zone + ") (kill " + dir.file("knot.pid") + ")))\n");
    std::string client_conf =
        dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(port) +
                                     ")\n(name laptop)\n(key " + kKey + ")\n(interval 1)\n");
    ChildProcess server =
        ChildProcess::spawn({server_program(), "-c", server_conf, "-p", dir.file("server.pid")});
    ASSERT_TRUE(wait_until([&] { return file_exists(dir.file("server.pid")); }))
        << "zorvel-server did not start";

    // Up: the address the datagrams come from becomes the record.
    std::string today_01 = serial_today(1);
    ChildProcess client = ChildProcess::spawn({client_program(), "-c", client_conf});
    ASSERT_TRUE(wait_until(
        [&] {
            return ns.query("laptop.example.test", "A") == std::vector<std::string>{"127.0.0.1"};
        },
        15s))
        << dir.read("example.test.zone") << ns.log();
    std::string up_serial = std::to_string(ns.serial());
    EXPECT_TRUE(up_serial == today_01 || up_serial == serial_today(1)) << up_serial;
    EXPECT_EQ(ns.query("laptop2.example.test", "A"), (std::vector<std::string>{"192.0.2.2"}));
    std::string report;
    EXPECT_TRUE(zone_checks(zone, &report)) << report;

    // Silent past the timeout: the record is gone from the answers, the
    // serial advanced once more; the line's comment stays with it.
    client.signal(SIGTERM);
    auto client_status = client.wait(5s);
    ASSERT_TRUE(client_status.has_value());
    EXPECT_EQ(exit_code(*client_status), 0);
    ASSERT_TRUE(wait_until([&] { return ns.query("laptop.example.test", "A").empty(); }, 15s))
        << dir.read("example.test.zone");
    EXPECT_EQ(ns.serial() % 100, 2);
    EXPECT_NE(dir.read("example.test.zone").find("\n; laptop 300 IN A 0.0.0.0 ; old\n"),
              std::string::npos)
        << dir.read("example.test.zone");
    EXPECT_TRUE(zone_checks(zone, &report)) << report;

    server.signal(SIGTERM);
    auto server_status = server.wait(5s);
    ASSERT_TRUE(server_status.has_value());
    EXPECT_EQ(exit_code(*server_status), 0);
    EXPECT_FALSE(file_exists(dir.file("server.pid")));

    if (have_log) {
        auto texts = log.texts("zorvel-server");
        auto has = [&](const std::string &t) {
            return std::find(texts.begin(), texts.end(), t) != texts.end();
        };
        EXPECT_TRUE(has("Account laptop up (127.0.0.1)\n"));
        EXPECT_TRUE(has("Account laptop timeout (last seen at 127.0.0.1)\n"));
        EXPECT_TRUE(has("Server exiting\n"));
        for (const auto &e : log.entries())
            EXPECT_NE(e.priority, LOG_ERR) << e.ident << ": " << e.text;
    }
}

// A dual-stack account over 127.0.0.1 and ::1: one client publishes both
// its A and its AAAA record; then only its IPv6 side keeps sending, so the A
// record times out alone, and the AAAA record follows once that stops too.
TEST(NameServer, DualStackAccountPublishesBothRecordsAndEachTimesOutApart) {
    TempDir dir;
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "the sockets' readiness is seen in the syslog records only: " << why;
    std::string zone =
        dir.write("example.test.zone", "$ORIGIN example.test.\n"
                                       "$TTL 60\n"
                                       "@ IN SOA ns hostmaster 2000010101 3600 600 86400 60\n"
                                       "@ IN NS ns\n"
                                       "ns IN A 127.0.0.1\n"
                                       "laptop IN A 192.0.2.1\n");
    TestNameServer ns(ns_kind::knot_file, dir);
    std::string failure = ns.start();
    ASSERT_TRUE(failure.empty()) << failure;

    std::string port = std::to_string(free_udp_port());
    std::string server_conf =
        dir.write("server.conf", "(listen " + port + " 127.0.0.1)\n(listen6 " + port +
                                     " ::1)\n(account (name laptop) (key " + kKey +
                                     ") (timeout 3)\n  (effector (zone " + zone + ") (kill " +
                                     dir.file("knot.pid") + ")))\n");
    std::string identity = std::string("(name laptop)\n(key ") + kKey + ")\n(interval 1)\n";
    std::string both_conf =
        dir.write("both.conf", "(server 127.0.0.1 " + port + ")\n(server6 \"::1\" " + port +
                                   ")\n(sensor (system \"echo 127.0.0.1\"))\n"
                                   "(sensor6 (system \"echo ::1\"))\n" +
                                   identity);
    std::string v6_conf = dir.write(
        "v6.conf", "(server6 \"::1\" " + port + ")\n(sensor6 (system \"echo ::1\"))\n" + identity);
    auto a = [&] { return ns.query("laptop.example.test", "A"); };
    auto aaaa = [&] { return ns.query("laptop.example.test", "AAAA"); };
    const std::vector<std::string> none, v4{"127.0.0.1"}, v6{"::1"};
    auto stop = [](ChildProcess &p) {
        p.signal(SIGTERM);
        auto st = p.wait(5s);
        return st.has_value() && exit_code(*st) == 0;
    };

    ChildProcess server = ChildProcess::spawn({server_program(), "-c", server_conf});
    ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
    ChildProcess client = ChildProcess::spawn({client_program(), "-c", both_conf});
    ASSERT_TRUE(wait_until([&] { return a() == v4 && aaaa() == v6; }, 15s))
        << dir.read("example.test.zone");
    std::string report;
    EXPECT_TRUE(zone_checks(zone, &report)) << report;

    ASSERT_TRUE(stop(client));
    client = ChildProcess::spawn({client_program(), "-c", v6_conf});
    ASSERT_TRUE(wait_until([&] { return a() == none; }, 15s)) << dir.read("example.test.zone");
    EXPECT_EQ(aaaa(), v6);
    EXPECT_EQ(log.count("Account laptop timeout (last seen at ::1)\n"), 0u);
    EXPECT_NE(dir.read("example.test.zone").find("\n; laptop IN A 0.0.0.0\nlaptop IN AAAA ::1\n"),
              std::string::npos)
        << dir.read("example.test.zone");

    ASSERT_TRUE(stop(client));
    ASSERT_TRUE(wait_until([&] { return aaaa() == none; }, 15s)) << dir.read("example.test.zone");
    EXPECT_NE(dir.read("example.test.zone").find("\n; laptop IN A 0.0.0.0\n; laptop IN AAAA ::\n"),
              std::string::npos)
        << dir.read("example.test.zone");
    EXPECT_TRUE(zone_checks(zone, &report)) << report;
    ASSERT_TRUE(stop(server));

    EXPECT_EQ(log.count("Account laptop up (127.0.0.1)\n"), 1u);
    EXPECT_EQ(log.count("Account laptop up (::1)\n"), 1u);
    EXPECT_EQ(log.count("Account laptop timeout (last seen at 127.0.0.1)\n"), 1u);
    EXPECT_EQ(log.count("Account laptop timeout (last seen at ::1)\n"), 1u);
    EXPECT_EQ(log.count("Updating zone \"" + zone + "\" record \"laptop\" to ::1\n"), 1u);
    for (const auto &e : log.entries())
        EXPECT_NE(e.priority, LOG_ERR) << e.ident << ": " << e.text;
}

// A record must never outlive the presence that put it there: not when the
// configuration is touched while the client is up, nor when the server
// restarts while the client is away.
TEST(NameServer, NoRecordOutlivesItsClientAcrossReloadAndRestart) {
    TempDir dir;
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "the reload is seen in the syslog records only: " << why;
    std::string zone =
        dir.write("example.test.zone", "$ORIGIN example.test.\n"
                                       "$TTL 60\n"
                                       "@ IN SOA ns hostmaster 2000010101 3600 600 86400 60\n"
                                       "@ IN NS ns\n"
                                       "ns IN A 127.0.0.1\n");
    TestNameServer ns(ns_kind::knot_file, dir);
    std::string failure = ns.start();
    ASSERT_TRUE(failure.empty()) << failure;

    int port = free_udp_port();
    std::string server_conf = dir.write(
        "server.conf", "(listen " + std::to_string(port) + " 127.0.0.1)\n(state " +
                           dir.file("presence") + ")\n(account (name laptop) (key " + kKey +
                           ") (timeout 2) (flags allow-unsafe)\n  (effector (zone " + zone +
                           ") (kill " + dir.file("knot.pid") + ")))\n");
    std::string client_conf =
        dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(port) +
                                     ")\n(name laptop)\n(key " + kKey + ")\n(interval 1)\n");
    auto answered = [&] {
        return ns.query("laptop.example.test", "A") == std::vector<std::string>{"127.0.0.1"};
    };
    auto gone = [&] { return ns.query("laptop.example.test", "A").empty(); };
    auto stop = [](ChildProcess &p) {
        p.signal(SIGTERM);
        auto st = p.wait(5s);
        return st.has_value() && exit_code(*st) == 0;
    };

    ChildProcess server = ChildProcess::spawn({server_program(), "-c", server_conf});
    // Bound before the client sends, which would otherwise be refused.
    ASSERT_TRUE(log.wait_for("Listening on 1 sockets\n", 10s, "zorvel-server"));
    ChildProcess client = ChildProcess::spawn({client_program(), "-c", client_conf});
    ASSERT_TRUE(wait_until(answered, 15s)) << dir.read("example.test.zone");

    // Touched while up: the reload keeps the account up without rerunning
    // its effectors; once the client is gone, the record goes.
    timeval tv[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(server_conf.c_str(), tv), 0);
    ASSERT_TRUE(wait_until([&] { return log.count("Listening on 1 sockets\n") == 2; }, 10s));
    ASSERT_TRUE(stop(client));
    ASSERT_TRUE(wait_until(gone, 15s)) << dir.read("example.test.zone");
    EXPECT_EQ(log.count("Account laptop up (127.0.0.1)\n"), 1u);
    EXPECT_EQ(log.count("Account laptop timeout (last seen at 127.0.0.1)\n"), 1u);

    // Up again, then the client goes away and the server stops before the
    // timeout: the restarted server takes the record out once it has passed.
    client = ChildProcess::spawn({client_program(), "-c", client_conf});
    ASSERT_TRUE(wait_until(answered, 15s)) << dir.read("example.test.zone");
    ASSERT_TRUE(stop(client));
    ASSERT_TRUE(stop(server));
    EXPECT_NE(dir.read("presence").find("(up laptop 127.0.0.1 "), std::string::npos)
        << dir.read("presence");
    EXPECT_TRUE(answered());
    server = ChildProcess::spawn({server_program(), "-c", server_conf});
    ASSERT_TRUE(wait_until(gone, 15s)) << dir.read("example.test.zone");
    EXPECT_EQ(log.count("Account laptop timeout (last seen at 127.0.0.1)\n"), 2u);
    EXPECT_EQ(dir.read("presence"), "");
    std::string report;
    EXPECT_TRUE(zone_checks(zone, &report)) << report;
    ASSERT_TRUE(stop(server));
    // The reload keeps its listening socket: nothing went wrong, so
    // nothing is logged as an error.
    for (const auto &e : log.entries())
        EXPECT_NE(e.priority, LOG_ERR) << e.ident << ": " << e.text;
}

#ifdef __linux__
// A network namespace of the test's own, as the "host", and one for the
// client, joined by a veth pair with documentation addresses. Both vanish
// with the test: the client's is deleted here, the test's own ends with
// the process, so nothing is left on the machine's real network.
class ClientNamespace {
  public:
    // Empty on success, else why the scenario cannot run here.
    std::string create() {
        ip_ = find_tool("ip");
        if (ip_.empty())
            return "ip (iproute2) is missing";
        if (unshare(CLONE_NEWNET) != 0)
            return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        name_ = "zorvel-" + std::to_string(getpid());
        if (host({"netns", "add", name_}) != 0) {
            name_.clear();
            return "ip netns add failed";
        }
        if (host({"link", "set", "lo", "up"}) != 0 ||
            host({"link", "add", "zv0", "type", "veth", "peer", "name", "zv1", "netns", name_}) !=
                0 ||
            host({"addr", "add", "198.51.100.1/24", "dev", "zv0"}) != 0 ||
            host({"link", "set", "zv0", "up"}) != 0 || inside({"link", "set", "lo", "up"}) != 0 ||
            inside({"addr", "add", "198.51.100.2/24", "dev", "zv1"}) != 0 ||
            inside({"link", "set", "zv1", "up"}) != 0)
            return "setting up the veth pair failed";
        return {};
    }
    ~ClientNamespace() {
        if (!name_.empty())
            host({"netns", "delete", name_}); // takes the veth pair with it
    }

    int host(std::vector<std::string> args) const {
        args.insert(args.begin(), ip_);
        return run(args);
    }
    int inside(std::vector<std::string> args) const {
        args.insert(args.begin(), {ip_, "netns", "exec", name_, ip_});
        return run(args);
    }
    // Runs the client once in the namespace; its exit status.
    int client(const std::string &conf) const {
        return run({ip_, "netns", "exec", name_, client_program(), "-c", conf});
    }

  private:
    std::string ip_;
    std::string name_;
};

TEST(ClientNamespace, ServerJudgesTheRealPeerAddress) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    ClientNamespace ns;
    why = ns.create();
    if (!why.empty())
        GTEST_SKIP() << "network namespaces are not permitted here: " << why;

    TempDir dir;
    std::string effects = dir.file("effects");
    std::string effector =
        "(effector (system \"echo \" (name) \" \" (addr) \" >> " + effects + "\"))";
    std::string server_conf = dir.write(
        "server.conf", std::string("(listen 8745 198.51.100.1)\n") + "(account (name fixed) (key " +
                           kKey + ") " + effector + ")\n" + "(account (name roamer) (key " + kKey +
                           ") (flags allow-unsafe) " + effector + ")\n");
    ChildProcess server = ChildProcess::spawn({server_program(), "-c", server_conf});
    ASSERT_TRUE(log.wait_for("Listening on 1 sockets\n", 10s, "zorvel-server"));

    auto client_conf = [&](const std::string &name, const std::string &sensed) {
        std::string sensor = sensed.empty() ? "" : "(sensor (system \"echo " + sensed + "\"))";
        return dir.write(name + ".conf", "(server 198.51.100.1 8745)\n(name " + name + ")\n(key " +
                                             std::string(kKey) + ")\n" + sensor + "\n");
    };
    struct step {
        const char *what;
        std::string account, sensed, record;
    };
    const step steps[] = {
        {"its own address", "fixed", "198.51.100.2", "Account fixed up (198.51.100.2)\n"},
        {"another address", "fixed", "198.51.100.77",
         "Address mismatch between peer 198.51.100.2 and message 198.51.100.77\n"},
        {"no address, unsafe not allowed", "fixed", "", "Rejecting unsafe message\n"},
        {"no address, unsafe allowed", "roamer", "", "Account roamer up (198.51.100.2)\n"},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(ns.client(client_conf(s.account, s.sensed)), 0);
        EXPECT_TRUE(log.wait_for(s.record, 10s, "zorvel-server"));
    }
    // The rejected message is described with the peer it came from.
    EXPECT_EQ(log.count("Message from 198.51.100.2 at "), 1u);

    // The client's address changes: the server sees the new peer.
    // (Deleting the old address first: a primary address takes the
    // secondaries of its subnet with it.)
    ASSERT_EQ(ns.inside({"addr", "del", "198.51.100.2/24", "dev", "zv1"}), 0);
    ASSERT_EQ(ns.inside({"addr", "add", "198.51.100.3/24", "dev", "zv1"}), 0);
    ASSERT_EQ(ns.client(client_conf("roamer", "")), 0);
    EXPECT_TRUE(log.wait_for("Accound roamer changed address from 198.51.100.2 to 198.51.100.3\n",
                             10s, "zorvel-server"));

    // Only accepted messages ran the effectors.
    const std::string expected = "fixed 198.51.100.2\n"
                                 "roamer 198.51.100.2\n"
                                 "roamer 198.51.100.3\n";
    wait_until([&] { return read_file(effects) == expected; }, 5s);
    EXPECT_EQ(read_file(effects), expected);
    server.signal(SIGTERM);
    auto st = server.wait(5s);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
}
#endif

// The example configurations load as written: every account kept, no
// keyword unknown, and the client's key is its server account's key.
TEST(ExampleConfigs, LoadWithoutWarningsAndShareTheirKeys) {
    struct example {
        const char *server, *client;
        std::vector<std::string> accounts; // in table order
        const char *listening;
    };
    const example examples[] = {
        {"examples/zorvel-server.conf",
         "examples/zorvel-client.conf",
         {"home", "laptop", "office"},
         "Listening on 2 sockets\n"},
        {"examples/demo/zorvel-server.conf",
         "examples/demo/zorvel-client.conf",
         {"laptop"},
         "Listening on 1 sockets\n"},
    };
    for (const example &ex : examples) {
        SCOPED_TRACE(ex.server);
        TempDir dir;
        // Listen on a free loopback port in place of the example's.
        std::string port = std::to_string(free_udp_port());
        std::string text = read_file(std::string(ZORVEL_SOURCE_DIR "/") + ex.server);
        text = replace_all(text, "(listen 8745)", "(listen @PORT@ 127.0.0.1)");
        text = replace_all(text, "(listen6 8745)", "(listen6 @PORT@ ::1)");
        text = replace_all(replace_all(text, "@PORT@", port), "@DIR@", dir.path());
        std::string path = dir.write("server.conf", text);

        LogCapture cap;
        server_config cfg{};
        cfg.path = path.c_str();
        array_init(&cfg.accounts, sizeof(account));
        array_init(&cfg.pollfds, sizeof(pollfd));
        server_config_load(&cfg);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_INFO, ex.listening}}));
        std::vector<std::string> names;
        for (int i = 0; i < cfg.accounts.count; i++) {
            auto *a = static_cast<account *>(array_get(&cfg.accounts, i));
            names.emplace_back(a->name, a->name_len);
            EXPECT_GT(a->effectors.nsize, 0u) << names.back();
        }
        EXPECT_EQ(names, ex.accounts);
        std::vector<int> sockets;
        for (int i = 0; i < cfg.pollfds.count; i++)
            sockets.push_back(static_cast<pollfd *>(array_get(&cfg.pollfds, i))->fd);

        std::string ctext = read_file(std::string(ZORVEL_SOURCE_DIR "/") + ex.client);
        std::string cpath = dir.write("client.conf", replace_all(ctext, "@PORT@", port));
        client_config cc;
        client_config_init(&cc);
        ASSERT_EQ(client_config_read(&cc, cpath.c_str()), 0);
        EXPECT_TRUE(client_config_complete(&cc));
        EXPECT_TRUE(cap.records().size() == 1) << ::testing::PrintToString(cap.records());
        auto *acct = static_cast<account *>(array_get(&cfg.accounts, 0));
        ASSERT_NE(acct, nullptr);
        // The first account of each example is the one its client uses.
        EXPECT_EQ(std::string(cc.name, cc.name_len), names[0]);
        EXPECT_EQ(std::string(cc.key, cc.key_len),
                  std::string(reinterpret_cast<char *>(acct->key), acct->key_len));
        EXPECT_GT(cc.interval, 0);
        client_config_free(&cc);
        server_config_release(&cfg);
        for (int fd : sockets)
            close(fd);
    }
}

} // namespace
