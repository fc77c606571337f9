// The dns-update effector against real name servers on loopback: Knot,
// BIND and PowerDNS, each with an update key, driven by the real
// zorvel-server.
#include "common/protocol/update_msg.h"
#include "server/dns_update.h"
#include "tests/support/dns_servers.h"
#include "tests/support/dns_update_run.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/sx_text.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The accounts' key for the update datagrams (not the TSIG key).
const char account_key_b64[] = "em9ydmVsIHRlc3Qga2V5LCBub3QgYSBzZWNyZXQ=";
const char account_key[] = "zorvel test key, not a secret";

// One update datagram for name, sent from the loopback address from to the
// server's port; the message names the same address, as a client would.
bool send_update(int port, const char *from, const std::string &name) {
    update_msg m{};
    m.time = time(nullptr);
    m.name = name.data();
    m.name_len = name.size();
    uint8_t buf[UPDATE_MSG_MAX];
    if (inet_pton(AF_INET6, from, m.addr6) == 1) {
        // The IPv6 message, from from to [::1]:port.
        m.family = AF_INET6;
        size_t n = update_msg_encode(buf, sizeof buf, &m, account_key, sizeof account_key - 1);
        int fd = socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        memcpy(&sa.sin6_addr, m.addr6, 16);
        bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        sa.sin6_port = htons(static_cast<uint16_t>(port));
        sa.sin6_addr = in6addr_loopback;
        ok = ok && n != 0 &&
             sendto(fd, buf, n, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) ==
                 static_cast<ssize_t>(n);
        if (fd >= 0)
            close(fd);
        return ok;
    }
    inet_pton(AF_INET, from, m.addr);
    size_t n = update_msg_encode(buf, sizeof buf, &m, account_key, sizeof account_key - 1);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, from, &sa.sin_addr);
    bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ok = ok && n != 0 &&
         sendto(fd, buf, n, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) ==
             static_cast<ssize_t>(n);
    if (fd >= 0)
        close(fd);
    return ok;
}

// The key as operators paste it from the name servers' tools: final dots,
// and here capitals too, which every name server must take as the same key.
std::string dns_update_form(const TestNameServer &ns, const std::string &secret_b64, int wait_ms) {
    return "(dns-update (server " + ns.address() + " " + std::to_string(ns.port()) +
           ") (zone example.test) (key Upd.Key. hmac-sha256. |" + secret_b64 +
           "|) (ttl 60) (wait " + std::to_string(wait_ms) + "))";
}

// zorvel-server with two accounts: home, with the zone's key, and intruder,
// with the right key name but another secret. Any before_update forms run
// for home before its update.
class ZorvelServer {
  public:
    ZorvelServer(const TempDir &dir, const TestNameServer &ns, int wait_ms = 2000,
                 const std::string &before_update = "", const std::string &forms = "") {
        port_ = free_udp_port();
        std::string conf =
            dir.write("server.conf",
                      forms + "(listen " + std::to_string(port_) + " 127.0.0.1)\n(listen6 " +
                          std::to_string(port_) + " ::1)\n" + "(account (name home) (key |" +
                          account_key_b64 + "|) (timeout 3)\n  (effector " + before_update + " " +
                          dns_update_form(ns, test_tsig_secret_b64, wait_ms) + "))\n" +
                          "(account (name intruder) (key |" + account_key_b64 + "|)\n  (effector " +
                          dns_update_form(ns, "d3Jvbmcgc2VjcmV0", wait_ms) + "))\n");
        proc_ = ChildProcess::spawn({server_program(), "-c", conf});
    }
    ~ZorvelServer() {
        proc_.signal(SIGTERM);
        proc_.wait(5s);
    }
    int port() const { return port_; }
    ChildProcess &process() { return proc_; }

  private:
    int port_;
    ChildProcess proc_;
};

struct NameServerUpdate : ::testing::TestWithParam<ns_kind> {};

std::string kind_name(const ::testing::TestParamInfo<ns_kind> &info) {
    return info.param == ns_kind::knot ? "Knot" : info.param == ns_kind::bind ? "Bind" : "PowerDns";
}

INSTANTIATE_TEST_SUITE_P(NameServers, NameServerUpdate,
                         ::testing::Values(ns_kind::knot, ns_kind::bind, ns_kind::pdns), kind_name);

// Up, changed and timed out, each answered by the name server with its own
// serial advancing; a wrong key is refused and logged; nothing else is an
// error.
TEST_P(NameServerUpdate, UpChangedTimeoutAndAWrongKey) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    TempDir dir;
    TestNameServer ns(GetParam(), dir);
    why = ns.start();
    if (why.find("missing") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    ZorvelServer server(dir, ns);
    ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
    const std::string by =
        " applied by " + ns.address() + " port " + std::to_string(ns.port()) + "\n";
    const std::string head = "Account home: DNS update of home.example.test A to ";

    long serial = ns.serial();
    ASSERT_TRUE(send_update(server.port(), "127.0.0.1", "home"));
    ASSERT_TRUE(log.wait_for(head + "127.0.0.1" + by, 10s, "zorvel-server")) << ns.log();
    EXPECT_EQ(ns.query("home.example.test", "A"), (std::vector<std::string>{"127.0.0.1"}));
    EXPECT_GT(ns.serial(), serial);
    serial = ns.serial();

    ASSERT_TRUE(send_update(server.port(), "127.0.0.2", "home"));
    ASSERT_TRUE(log.wait_for(head + "127.0.0.2" + by, 10s, "zorvel-server")) << ns.log();
    EXPECT_EQ(ns.query("home.example.test", "A"), (std::vector<std::string>{"127.0.0.2"}));
    EXPECT_GT(ns.serial(), serial);
    serial = ns.serial();

    // The name server cannot verify the intruder's MAC and says so without
    // one: Knot and BIND with a TSIG record that names the error, PowerDNS
    // with a bare REFUSED. The refusal is taken only once the wait is over.
    ASSERT_TRUE(send_update(server.port(), "127.0.0.1", "intruder"));
    auto refused = log.wait_for("Account intruder: DNS update of intruder.example.test A to "
                                "127.0.0.1 refused by " +
                                    ns.address() + " port " + std::to_string(ns.port()) +
                                    (GetParam() == ns_kind::pdns
                                         ? " in an unsigned answer: REFUSED\n"
                                         : " in an unsigned answer: NOTAUTH, TSIG error BADSIG\n"),
                                10s, "zorvel-server");
    ASSERT_TRUE(refused) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(refused->priority, LOG_ERR);
    EXPECT_TRUE(ns.query("intruder.example.test", "A").empty());

    // Silent past the timeout: the RRset is gone.
    ASSERT_TRUE(log.wait_for("Account home: DNS deletion of home.example.test A" + by, 10s,
                             "zorvel-server"))
        << ns.log();
    EXPECT_TRUE(ns.query("home.example.test", "A").empty());
    EXPECT_GT(ns.serial(), serial);

    for (const auto &e : log.entries())
        if (e.ident == "zorvel-server" && e.text.find("intruder") == std::string::npos) {
            EXPECT_NE(e.priority, LOG_ERR) << e.text;
        }
}

// A dual-stack account: its IPv4 and IPv6 messages set the A and the AAAA
// RRset; while only IPv6 goes on, the A RRset alone is deleted at the
// timeout, and the AAAA RRset once that stops too.
TEST_P(NameServerUpdate, DualStackRRsetsComeAndGoApart) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    TempDir dir;
    TestNameServer ns(GetParam(), dir);
    why = ns.start();
    if (why.find("missing") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    ZorvelServer server(dir, ns);
    ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
    const std::string by =
        " applied by " + ns.address() + " port " + std::to_string(ns.port()) + "\n";
    const std::string head = "Account home: DNS update of home.example.test ";
    const std::string deleted = "Account home: DNS deletion of home.example.test ";

    ASSERT_TRUE(send_update(server.port(), "127.0.0.1", "home"));
    ASSERT_TRUE(send_update(server.port(), "::1", "home"));
    ASSERT_TRUE(log.wait_for(head + "A to 127.0.0.1" + by, 10s, "zorvel-server")) << ns.log();
    ASSERT_TRUE(log.wait_for(head + "AAAA to ::1" + by, 10s, "zorvel-server")) << ns.log();
    EXPECT_EQ(ns.query("home.example.test", "A"), (std::vector<std::string>{"127.0.0.1"}));
    EXPECT_EQ(ns.query("home.example.test", "AAAA"), (std::vector<std::string>{"::1"}));

    // IPv6 keeps refreshing (well within the 3-second timeout) until the
    // A RRset has gone.
    bool a_gone = false;
    for (int i = 0; i < 10 && !a_gone; i++) {
        ASSERT_TRUE(send_update(server.port(), "::1", "home"));
        a_gone = log.wait_for(deleted + "A" + by, 1s, "zorvel-server").has_value();
    }
    ASSERT_TRUE(a_gone) << ns.log();
    EXPECT_TRUE(ns.query("home.example.test", "A").empty());
    EXPECT_EQ(ns.query("home.example.test", "AAAA"), (std::vector<std::string>{"::1"}));
    EXPECT_EQ(log.count(deleted + "AAAA" + by), 0u);

    ASSERT_TRUE(log.wait_for(deleted + "AAAA" + by, 10s, "zorvel-server")) << ns.log();
    EXPECT_TRUE(ns.query("home.example.test", "AAAA").empty());
    for (const auto &e : log.entries())
        if (e.ident == "zorvel-server") {
            EXPECT_NE(e.priority, LOG_ERR) << e.text;
        }
}

// A day's worth of changes and more, one after another, each one applied:
// the name server keeps the serial, so there is no limit of 99 a day.
TEST_P(NameServerUpdate, MoreThan99ChangesInADay) {
    TempDir dir;
    TestNameServer ns(GetParam(), dir);
    std::string why = ns.start();
    if (why.find("missing") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    sx_text_tree form("(" + dns_update_form(ns, test_tsig_secret_b64, 2000).substr(1));
    LogCapture cap;
    dns_update_conf c;
    ASSERT_TRUE(dns_update_parse(sx_first(form.first())->next, "home", 4, &c));
    const long first = ns.serial();
    uint8_t addr[4] = {192, 0, 2, 0};
    const int changes = 120;
    for (int i = 0; i < changes; i++) {
        addr[3] = static_cast<uint8_t>(1 + i % 200);
        ASSERT_EQ(dns_update_run(&c, "home", 4, DNS_TYPE_A, addr), dns_update_result::applied)
            << "change " << i << ": " << ::testing::PrintToString(cap.records());
    }
    EXPECT_EQ(ns.query("home.example.test", "A"), (std::vector<std::string>{"192.0.2.120"}));
    EXPECT_GE(ns.serial() - first, changes);
}

// The answer's signature checks out from the zone's key-signing key, as a
// validating resolver would check it. True too when delv is missing; why
// holds what delv said, or that it is missing.
bool validates(const TestNameServer &ns, const TempDir &dir, const std::string &addr,
               std::string *why) {
    std::string delv = find_tool("delv");
    if (delv.empty()) {
        *why = "delv missing";
        return true;
    }
    std::string anchors = "trust-anchors {\n";
    for (const auto &k : ns.query("example.test", "DNSKEY")) {
        std::istringstream in(k);
        std::string flags, proto, alg, part, key;
        in >> flags >> proto >> alg;
        while (in >> part)
            key += part;
        if (flags == "257")
            anchors +=
                "  example.test. static-key 257 " + proto + " " + alg + " \"" + key + "\";\n";
    }
    std::string file = dir.write("anchors.conf", anchors + "};\n");
    auto out =
        output_lines(delv + " -a " + file + " +root=example.test -p " + std::to_string(ns.port()) +
                     " @" + ns.address() + " home.example.test A 2>&1");
    std::string all;
    for (const auto &l : out)
        all += l + "\n";
    *why = all;
    return all.find("; fully validated\n") != std::string::npos &&
           all.find("\tA\t" + addr + "\n") != std::string::npos;
}

// Knot answers queries before the work of its start (loading, signing) is
// done and may hold an update back meanwhile, for seconds on a busy
// machine; one update with a long wait shows it takes them.
bool takes_updates(const TestNameServer &ns) {
    LogCapture cap;
    sx_text_tree probe("(dns-update (server " + ns.address() + " " + std::to_string(ns.port()) +
                       ") (zone example.test) (owner probe.example.test) (key " + test_tsig_name +
                       " hmac-sha256 |" + test_tsig_secret_b64 + "|) (wait 30000))");
    const uint8_t a[4] = {192, 0, 2, 1};
    bool ok = dns_update_effector(sx_first(probe.first())->next, "probe", 5, DNS_TYPE_A, a) ==
              dns_update_result::applied;
    if (!ok)
        ADD_FAILURE() << ::testing::PrintToString(cap.records()) << ns.log();
    return ok;
}

// Knot signs the zone: every applied change carries a valid RRSIG. While
// the name server is down the update ends at its wait, logged; once it is
// back, the next datagram, with the same address, retries that update alone.
TEST(KnotUpdate, SignedZoneAndAStoppedNameServer) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    TempDir dir;
    TestNameServer ns(ns_kind::knot, dir, true);
    why = ns.start();
    if (why.find("missing") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_TRUE(takes_updates(ns));
    const std::string effects = dir.file("effects");
    ZorvelServer server(dir, ns, 2000, "(system \"echo \" (addr) \" >> " + effects + "\")");
    ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
    const std::string where = ns.address() + " port " + std::to_string(ns.port());
    const std::string head = "Account home: DNS update of home.example.test A to ";

    ASSERT_TRUE(send_update(server.port(), "127.0.0.1", "home"));
    ASSERT_TRUE(log.wait_for(head + "127.0.0.1 applied by " + where + "\n", 10s, "zorvel-server"))
        << ns.log();
    auto signed_answer = ns.query("home.example.test", "A", "+dnssec");
    ASSERT_EQ(signed_answer.size(), 2u) << ::testing::PrintToString(signed_answer);
    EXPECT_EQ(signed_answer[0], "127.0.0.1");
    EXPECT_EQ(signed_answer[1].rfind("A 13 3 60 ", 0), 0u) << signed_answer[1];
    EXPECT_TRUE(validates(ns, dir, "127.0.0.1", &why)) << why;

    ns.stop();
    ASSERT_TRUE(send_update(server.port(), "127.0.0.2", "home"));
    auto lost =
        log.wait_for(head + "127.0.0.2: no answer from " + where + " within 2000 ms (0 ignored)\n",
                     10s, "zorvel-server");
    ASSERT_TRUE(lost) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(lost->priority, LOG_ERR);

    why = ns.start();
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_TRUE(takes_updates(ns));
    ASSERT_TRUE(send_update(server.port(), "127.0.0.2", "home"));
    auto retry = log.wait_for(head + "127.0.0.2: retrying the failed update with " + where + "\n",
                              10s, "zorvel-server");
    ASSERT_TRUE(retry) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(retry->priority, LOG_INFO);
    ASSERT_TRUE(log.wait_for(head + "127.0.0.2 applied by " + where + "\n", 10s, "zorvel-server"))
        << ns.log();
    EXPECT_TRUE(validates(ns, dir, "127.0.0.2", &why)) << why;
    // The system effector ran for the two changes, not for the retry.
    EXPECT_EQ(read_file(effects), "127.0.0.1\n127.0.0.2\n");
}

// An update still waiting for its answer when the server is told to stop:
// the server ends at once, the update is kept in the state file, and the
// next start sends it, with no datagram to prompt it.
TEST(KnotUpdate, UpdateInFlightAtStopIsSentAfterTheRestart) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    TempDir dir;
    TestNameServer ns(ns_kind::knot, dir);
    why = ns.start();
    if (why.find("missing") != std::string::npos)
        GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_TRUE(takes_updates(ns));
    ns.stop();
    // Where the name server listened, a socket that reads nothing: the
    // update stays in flight for its whole wait.
    int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(ns.port()));
    inet_pton(AF_INET, ns.address().c_str(), &sa.sin_addr);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0) << strerror(errno);

    const std::string state = dir.file("presence");
    const std::string forms = "(state " + state + ")\n";
    const std::string where = ns.address() + " port " + std::to_string(ns.port());
    const std::string head = "Account home: DNS update of home.example.test A to ";
    {
        ZorvelServer server(dir, ns, 30000, "", forms);
        ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
        ASSERT_TRUE(send_update(server.port(), "127.0.0.1", "home"));
        ASSERT_TRUE(log.wait_for("Account home up (127.0.0.1)\n", 10s, "zorvel-server"));
        // Its first datagram has gone out once the silent socket holds it.
        pollfd p{silent, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        auto t = std::chrono::steady_clock::now();
        server.process().signal(SIGTERM);
        auto st = server.process().wait(5s);
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(exit_code(*st), 0);
        // Far from the 30 s the update would have waited.
        EXPECT_LT(std::chrono::steady_clock::now() - t, 5s);
    }
    EXPECT_NE(read_file(state).find("(pending home 127.0.0.1 "), std::string::npos)
        << read_file(state);
    EXPECT_EQ(log.count("applied by"), 0u);
    close(silent);

    why = ns.start();
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_TRUE(takes_updates(ns));
    ZorvelServer again(dir, ns, 2000, "", forms);
    ASSERT_TRUE(log.wait_for(head + "127.0.0.1 applied by " + where + "\n", 20s, "zorvel-server"))
        << ::testing::PrintToString(log.texts()) << ns.log();
    EXPECT_EQ(ns.query("home.example.test", "A"), std::vector<std::string>{"127.0.0.1"});
}

} // namespace
