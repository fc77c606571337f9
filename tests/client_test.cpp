// zorvel-client end to end: the real client against the real zorvel-server
// (or a plain socket standing in for it) on 127.0.0.1, judged by the real
// syslog records, the zone file and what arrives on the wire.
#include "common/protocol/address.h"
#include "common/protocol/hmac_sha1.h"
#include "common/protocol/update_msg.h"
#include "tests/support/scenario.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

namespace {

constexpr const char *CLIENT = "zorvel-client";
constexpr const char *SERVER = "zorvel-server";

// A zone whose serial is old and whose record for host1 points elsewhere.
constexpr std::string_view ZONE = "$TTL 300\n"
                                  "@ IN SOA ns.example. admin.example. 2001020301 3600 600 86400 "
                                  "300\n"
                                  "host1 IN A 10.0.0.1\n";

struct ClientE2E : ::testing::Test {
    SyslogCapture log;
    TempDir dir;
    int port = 0;

    void SetUp() override {
        std::string why;
        if (!log.start(&why))
            GTEST_SKIP() << "cannot capture syslog here: " << why;
        port = free_udp_port();
        ASSERT_GT(port, 0);
    }

    std::string client_conf(const std::string &extra, const std::string &server_port = {}) {
        return dir.write("client.conf",
                         "(server 127.0.0.1 " +
                             (server_port.empty() ? std::to_string(port) : server_port) +
                             ")\n(name host1)\n(key \"s3cret\")\n" + extra);
    }

    // The real server, with host1 on the zone file; up once it listens.
    ChildProcess start_server(int timeout) {
        dir.write("zone", ZONE);
        std::string conf =
            dir.write("server.conf", "(listen " + std::to_string(port) + " 127.0.0.1)\n" +
                                         "(account (name host1) (key \"s3cret\") (timeout " +
                                         std::to_string(timeout) + ") (effector (zone \"" +
                                         dir.file("zone") + "\")))\n");
        ChildProcess server = ChildProcess::spawn({server_program(), "-c", conf});
        EXPECT_TRUE(log.wait_for("Listening on 1 sockets\n", 10s, SERVER).has_value());
        return server;
    }

    ChildProcess start_client(std::vector<std::string> args) {
        args.insert(args.begin(), client_program());
        return ChildProcess::spawn(args, {}, dir.file("client.err"));
    }

    // The host1 record line of the zone file as it stands.
    std::string zone_record() {
        std::string z = dir.read("zone");
        size_t at = z.find("host1 ");
        if (at == std::string::npos)
            return {};
        size_t start = z.rfind('\n', at) + 1;
        return z.substr(start, z.find('\n', at) - start);
    }

    // Lines of a file the test's sensor commands append to, one per cycle.
    size_t cycles() {
        std::string t = dir.read("cycles");
        return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
    }
    // A sensor that counts the cycles and announces 127.0.0.1.
    std::string counting_sensor() {
        return "(sensor (system \"echo x >> " + dir.file("cycles") + "; echo 127.0.0.1\"))\n";
    }
};

// The stop flag is read after each sleep, and a SIGTERM that lands between
// the send and the sleep waits out a whole interval; repeating the signal
// keeps the wait short without depending on when the first one landed.
std::optional<int> stop(ChildProcess &p) {
    for (int i = 0; i < 40; i++) {
        p.signal(SIGTERM);
        if (auto st = p.wait(250ms))
            return st;
    }
    return std::nullopt;
}

bool stop_pid(pid_t pid) {
    for (int i = 0; i < 40; i++) {
        kill(pid, SIGTERM);
        if (wait_gone(pid, 250ms))
            return true;
    }
    return false;
}

TEST_F(ClientE2E, StartUpFailuresEndWithStatusOneAndSendNothing) {
    UdpReceiver wire;
    std::string p = std::to_string(wire.port());
    std::string complete = "(server 127.0.0.1 " + p + ") (name host1) (key k)";
    const struct {
        std::vector<std::string> args;
        const char *conf; // written to bad.conf when not null
        const char *record;
        bool usage;
    } cases[] = {
        {{"-x", "-c", "bad.conf"}, complete.c_str(), nullptr, true},
        {{"-c"}, nullptr, nullptr, true},
        {{}, nullptr, "No configuration file provided in invokation\n", true},
        {{"-c", "missing.conf"}, nullptr, "Unable to open configuration file", true},
        {{"-c", "bad.conf"}, "", nullptr, true},
        {{"-c", "bad.conf"}, "(server 127.0.0.1) (name host1) (key k)", nullptr, false},
        {{"-c", "bad.conf"}, "(server 127.0.0.1 9) (name host1) (key \"\")", nullptr, false},
        {{"-c", "bad.conf"}, "(server 127.0.0.1 9) (key k) (interval 1)", nullptr, false},
        {{"-c", "bad.conf"},
         "(server 127.0.0.1 9) (name \"host1\\x00x\") (key k)",
         "Unusable client option \"name\": NUL byte in value\n",
         false},
        {{"-u", "no-such-user-zorvel", "-c", "bad.conf"},
         complete.c_str(),
         "Unable to get information about user \"no-such-user-zorvel\"\n",
         false},
        {{"-t", "/nonexistent-zorvel-root", "-c", "bad.conf"},
         complete.c_str(),
         "Unable to chroot(/nonexistent-zorvel-root)",
         false},
        // The root and user change comes before the "-c" check.
        {{"-u", "no-such-user-zorvel"},
         nullptr,
         "Unable to get information about user \"no-such-user-zorvel\"\n",
         false},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args;
        for (const auto &a : c.args)
            args.push_back(a == "bad.conf" || a == "missing.conf" ? dir.file(a) : a);
        SCOPED_TRACE(::testing::PrintToString(c.args) + " " + (c.conf ? c.conf : ""));
        if (c.conf != nullptr)
            dir.write("bad.conf", c.conf);
        log.clear();
        ChildProcess client = start_client(args);
        auto st = client.wait();
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(exit_code(*st), 1);
        std::string usage = "Usage: " + client_program() +
                            " [-c conffile] [-d] [-p pidfile] [-t chrootdir] [-u username]\n";
        std::string err = dir.read("client.err");
        EXPECT_EQ(err.find(usage) != std::string::npos, c.usage) << err;
        if (c.record != nullptr)
            EXPECT_TRUE(log.wait_for(c.record, 5s, CLIENT).has_value());
        else
            EXPECT_EQ(log.texts(CLIENT), std::vector<std::string>{});
        EXPECT_EQ(log.count("Client exiting"), 0u);
        EXPECT_EQ(wire.pending(), 0);
    }
}

// One message, and the zone changes through the server. "-d" is ignored by
// a one-message run: it neither detaches nor needs to.
TEST_F(ClientE2E, OneMessageRunUpdatesTheZoneThroughTheServer) {
    ChildProcess server = start_server(0);
    std::string conf = client_conf("(sensor (system \"echo 127.0.0.1\"))\n");
    ChildProcess client = start_client({"-d", "-c", conf});
    auto st = client.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_EQ(log.texts(CLIENT), std::vector<std::string>{"Client exiting\n"});
    ASSERT_TRUE(log.wait_for("Account host1 up (127.0.0.1)\n", 10s, SERVER).has_value());
    ASSERT_TRUE(wait_until([&] { return zone_record() == "host1 IN A 127.0.0.1"; }));
    char serial[16];
    time_t now = time(nullptr);
    strftime(serial, sizeof serial, "%Y%m%d01", gmtime(&now));
    EXPECT_NE(dir.read("zone").find(serial), std::string::npos) << dir.read("zone");
}

// An interval client keeps its account up well past the server's timeout;
// once it stops, the server times the account out and comments the record.
// The timeout leaves two intervals of slack, so a cycle slowed by a loaded
// machine (sanitizers, parallel tests) is no silence.
TEST_F(ClientE2E, IntervalClientKeepsTheAccountUpUntilItStops) {
    ChildProcess server = start_server(3);
    ChildProcess client = start_client({"-c", client_conf("(interval 1)\n" + counting_sensor())});
    ASSERT_TRUE(log.wait_for("Account host1 up (127.0.0.1)\n", 10s, SERVER).has_value());
    ASSERT_TRUE(wait_until([&] { return cycles() >= 5; }, 20s));
    EXPECT_EQ(log.count("timeout"), 0u);
    EXPECT_EQ(zone_record(), "host1 IN A 127.0.0.1");

    auto st = stop(client);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    ASSERT_TRUE(log.wait_for("Account host1 timeout (last seen at 127.0.0.1)\n", 10s, SERVER));
    ASSERT_TRUE(wait_until([&] { return zone_record() == "; host1 IN A 0.0.0.0"; }));
    EXPECT_EQ(log.count("up (127.0.0.1)"), 1u);
}

// Detached, with a PID file: the file names the process that loops, and
// SIGTERM during its sleep removes it.
TEST_F(ClientE2E, SigtermDuringTheSleepRemovesThePidFile) {
    ASSERT_TRUE(become_subreaper());
    UdpReceiver wire;
    std::string pidfile = dir.file("client.pid");
    ChildProcess client = start_client(
        {"-d", "-p", pidfile, "-c",
         client_conf("(interval 60)\n" + counting_sensor(), std::to_string(wire.port()))});
    auto st = client.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0); // the starting process, once detached
    auto daemonized = log.wait_for("Process successfully daemonized", 10s, CLIENT);
    ASSERT_TRUE(daemonized.has_value());
    pid_t pid = static_cast<pid_t>(daemonized->pid);
    EXPECT_NE(pid, client.pid());
    ASSERT_TRUE(wait_until([&] { return cycles() >= 1 && wire.pending() > 0; }));
    EXPECT_EQ(dir.read("client.pid"), std::to_string(pid) + "\n");

    ASSERT_TRUE(stop_pid(pid));
    EXPECT_FALSE(file_exists(pidfile));
    auto exiting = log.wait_for("Client exiting\n", 5s, CLIENT);
    ASSERT_TRUE(exiting.has_value());
    EXPECT_EQ(exiting->pid, pid);
    EXPECT_EQ(exiting->priority, LOG_INFO);
    EXPECT_EQ(cycles(), 1u);
}

TEST_F(ClientE2E, FailedLookupEndsTheClientUnlessRetrySet) {
    std::string failed = std::string("Address lookup of 127.0.0.1:no-such-service failed: ") +
                         gai_strerror(EAI_SERVICE) + "\n";
    ChildProcess once = start_client({"-c", client_conf("(interval 1)\n", "no-such-service")});
    auto st = once.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 1);
    EXPECT_EQ(log.texts(CLIENT), std::vector<std::string>{failed});

    log.clear();
    ChildProcess retrying =
        start_client({"-c", client_conf("(interval 1) (resolv-retry 1)\n", "no-such-service")});
    ASSERT_TRUE(wait_until([&] { return log.count("Address lookup") >= 2; }));
    st = stop(retrying);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    auto texts = log.texts(CLIENT);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Client exiting\n");
    texts.pop_back();
    EXPECT_EQ(texts, std::vector<std::string>(texts.size(), failed));
}

#ifdef __linux__
// /etc/hosts replaced for this test's mount namespace (and its children)
// only; SyslogCapture has already moved the test into a private one.
struct HostsFile {
    std::string path;
    bool mounted = false;
    HostsFile(const TempDir &dir, const std::string &content)
        : path(dir.write("hosts", content)),
          mounted(mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0) {}
    ~HostsFile() {
        if (mounted)
            umount2("/etc/hosts", MNT_DETACH);
    }
    // Rewrites the file in place, so the bind mount shows the new text.
    void set(const std::string &content) { write_file(path, content); }
};

TEST_F(ClientE2E, AmbiguousHostIsNeverUsed) {
    UdpReceiver wire;
    HostsFile hosts(dir, "127.0.0.1 localhost\n127.0.0.1 twohost\n127.0.0.2 twohost\n");
    ASSERT_TRUE(hosts.mounted) << strerror(errno);
    std::string p = std::to_string(wire.port());
    std::string conf = dir.write("client.conf", "(server twohost " + p +
                                                    ") (name host1) (key k) (interval 1)"
                                                    " (resolv-retry 1)\n");
    ChildProcess client = start_client({"-c", conf});
    ASSERT_TRUE(wait_until([&] { return log.count("Ambiguous address") >= 2; }));
    auto st = stop(client);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_EQ(wire.pending(), 0);

    auto texts = log.texts(CLIENT);
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Ambiguous address for twohost:" + p + "\n");
    std::vector<std::string> results = {texts[1], texts[2]};
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results,
              (std::vector<std::string>{"   127.0.0.1:" + p + "\n", "   127.0.0.2:" + p + "\n"}));
    EXPECT_EQ(texts[3], texts[0]);
    EXPECT_EQ(texts.back(), "Client exiting\n");
    for (const auto &e : log.entries()) {
        if (e.ident == CLIENT && e.text != "Client exiting\n") {
            EXPECT_EQ(e.priority, LOG_ERR);
        }
    }

    // Without a retry the first ambiguity ends the client.
    log.clear();
    dir.write("client.conf", "(server twohost " + p + ") (name host1) (key k)\n");
    ChildProcess once = start_client({"-c", conf});
    st = once.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 1);
    EXPECT_EQ(log.count("Ambiguous address for twohost"), 1u);
    EXPECT_EQ(wire.pending(), 0);
}

// The server is looked up once by default, and in every cycle with
// (resolv 0): a name that turns ambiguous is noticed only then.
TEST_F(ClientE2E, ResolvIntervalDecidesWhenTheServerIsLookedUpAgain) {
    for (const char *resolv : {"", "(resolv 0)"}) {
        SCOPED_TRACE(resolv);
        UdpReceiver wire;
        HostsFile hosts(dir, "127.0.0.1 srv\n");
        ASSERT_TRUE(hosts.mounted) << strerror(errno);
        log.clear();
        write_file(dir.file("cycles"), "");
        std::string conf = dir.write("client.conf", "(server srv " + std::to_string(wire.port()) +
                                                        ") (name host1) (key k) (interval 1) "
                                                        "(resolv-retry 1) " +
                                                        resolv + "\n" + counting_sensor());
        ChildProcess client = start_client({"-c", conf});
        ASSERT_TRUE(wait_until([&] { return wire.pending() > 0; }));
        hosts.set("127.0.0.1 srv\n127.0.0.2 srv\n");
        size_t seen = cycles();
        if (*resolv == '\0') {
            ASSERT_TRUE(wait_until([&] { return cycles() >= seen + 2; }));
            EXPECT_GT(wire.pending(), 0);
            EXPECT_EQ(log.count("Ambiguous address"), 0u);
        } else {
            ASSERT_TRUE(log.wait_for("Ambiguous address for srv", 10s, CLIENT).has_value());
        }
        auto st = stop(client);
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(exit_code(*st), 0);
    }
}

// The source address the system picks for a datagram to addr:port.
std::string default_source6(const char *addr, int port) {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, addr, &sa.sin6_addr);
    socklen_t len = sizeof sa;
    char text[INET6_ADDRSTRLEN] = "";
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text);
    close(fd);
    return text;
}

// A received IPv6 message: its announced address, as text, and its source.
struct Seen6 {
    std::string announced, source;
    bool authentic = false;
};

Seen6 receive6(UdpReceiver6 &wire, const char *key) {
    Seen6 seen;
    std::string d = wire.receive(&seen.source);
    update_msg m{};
    size_t prefix = update_msg_decode(&m, reinterpret_cast<const uint8_t *>(d.data()), d.size());
    if (prefix == 0 || m.family != AF_INET6)
        return Seen6{};
    seen.announced = address_format6(m.addr6).s;
    uint8_t mac[HMAC_SHA1_LEN];
    hmac_sha1(mac, d.data(), prefix, key, strlen(key));
    seen.authentic = hmac_sha1_equal(mac, m.mac);
    return seen;
}

// In a network namespace of the test's own, the server listens on
// 2001:db8::53, and the system would send to it from that same address.
// The client sends from the address its sensor yields instead, follows it
// when it changes, and announces :: from the system's choice when no
// sensor yields one.
TEST_F(ClientE2E, IPv6MessageGoesOutFromTheSensorAddress) {
    std::string why;
    if (!enter_private_network({"2001:db8::53", "2001:db8::b", "2001:db8::c"}, &why))
        GTEST_SKIP() << "no network namespace here: " << why;
    UdpReceiver6 wire("2001:db8::53");
    ASSERT_GT(wire.port(), 0);
    ASSERT_EQ(default_source6("2001:db8::53", wire.port()), "2001:db8::53");

    write_file(dir.file("addr6"), "2001:db8::b\n");
    std::string conf =
        dir.write("client.conf", "(server6 \"2001:db8::53\" " + std::to_string(wire.port()) +
                                     ") (name host1) (key k) (interval 1)\n"
                                     "(sensor6 (system \"cat " +
                                     dir.file("addr6") + "\"))\n");
    ChildProcess client = start_client({"-c", conf});
    Seen6 seen = receive6(wire, "k");
    EXPECT_EQ(seen.announced, "2001:db8::b");
    EXPECT_EQ(seen.source, "2001:db8::b");
    EXPECT_TRUE(seen.authentic);

    // Each step waits for the first datagram that shows the change, within
    // a bounded number of cycles.
    auto until = [&](const std::string &announced) {
        for (int i = 0; i < 10; i++) {
            seen = receive6(wire, "k");
            if (seen.announced == announced)
                return true;
        }
        return false;
    };
    write_file(dir.file("addr6"), "2001:db8::c\n");
    ASSERT_TRUE(until("2001:db8::c"));
    EXPECT_EQ(seen.source, "2001:db8::c");
    write_file(dir.file("addr6"), "not an address\n");
    ASSERT_TRUE(until("::"));
    EXPECT_EQ(seen.source, "2001:db8::53");
    EXPECT_TRUE(seen.authentic);
    auto st = stop(client);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_GE(log.count("Bad pipe sesnsor output: \"not an address\n\"\n"), 1u);
}

// The IPv6 lookup follows the same rule: two addresses are never used,
// and each is listed with its port apart from its own colons.
TEST_F(ClientE2E, AmbiguousIPv6HostIsNeverUsed) {
    HostsFile hosts(dir, "2001:db8::1 two6\n2001:db8::2 two6\n");
    ASSERT_TRUE(hosts.mounted) << strerror(errno);
    std::string conf = dir.write("client.conf", "(server6 two6 8745) (name host1) (key k)\n");
    ChildProcess client = start_client({"-c", conf});
    auto st = client.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 1);
    auto texts = log.texts(CLIENT);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Ambiguous address for two6:8745\n");
    std::sort(texts.begin() + 1, texts.end());
    EXPECT_EQ(texts[1], "   [2001:db8::1]:8745\n");
    EXPECT_EQ(texts[2], "   [2001:db8::2]:8745\n");
}

// With no route to the IPv6 server the connect fails and is retried as a
// failed lookup is; the IPv4 message still goes out in the same cycle.
TEST_F(ClientE2E, UnreachableIPv6ServerDoesNotHoldUpIPv4) {
    std::string why;
    if (!enter_private_network({}, &why))
        GTEST_SKIP() << "no network namespace here: " << why;
    UdpReceiver wire;
    std::string conf = dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(wire.port()) +
                                                    ") (server6 \"2001:db8:ffff::1\" 8745)"
                                                    " (name host1) (key k)\n");
    ChildProcess client = start_client({"-c", conf});
    auto st = client.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 1);
    EXPECT_EQ(wire.pending(), 1);
    EXPECT_EQ(log.texts(CLIENT),
              (std::vector<std::string>{"Unable to connect() to 2001:db8:ffff::1:8745 "
                                        "([2001:db8:ffff::1]:8745): " +
                                        std::string(strerror(ENETUNREACH)) + "\n"}));

    // With a retry, a one-message run tries the IPv6 side again, and sends
    // its IPv4 message only the once.
    log.clear();
    dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(wire.port()) +
                                 ") (server6 \"2001:db8:ffff::1\" 8745)"
                                 " (name host1) (key k) (resolv-retry 1)\n");
    ChildProcess retrying = start_client({"-c", conf});
    EXPECT_TRUE(wait_until([&] { return log.count("Unable to connect() to") >= 2; }));
    retrying.signal(SIGKILL);
    ASSERT_TRUE(retrying.wait().has_value());
    EXPECT_EQ(wire.pending(), 1);
}
#endif

// Two servers for the same account: each cycle reaches both, and once one
// is down the other still gets every message, so its account stays up
// while the client logs the refusals of the one that is gone.
TEST_F(ClientE2E, TwoServersBothReceiveEachCycleAndOneDownHoldsUpNoOther) {
    int port2 = free_udp_port();
    ASSERT_GT(port2, 0);
    ASSERT_NE(port2, port);
    std::vector<ChildProcess> servers;
    for (int p : {port, port2}) {
        std::string n = std::to_string(p);
        std::string conf = dir.write("server" + n + ".conf",
                                     "(listen " + n +
                                         " 127.0.0.1)\n(account (name host1) (key \"s3cret\")"
                                         " (timeout 3) (effector (system \"echo up >> " +
                                         dir.file("effects" + n) + "\")))\n");
        servers.push_back(ChildProcess::spawn({server_program(), "-c", conf}));
        ASSERT_TRUE(
            wait_until([&] { return log.count("Listening on 1 sockets\n") == servers.size(); }));
    }
    std::string conf = client_conf("(server 127.0.0.1 " + std::to_string(port2) +
                                   ") (interval 1)\n" + counting_sensor());
    ChildProcess client = start_client({"-c", conf});
    ASSERT_TRUE(wait_until([&] { return log.count("Account host1 up (127.0.0.1)\n") == 2; }));
    ASSERT_TRUE(wait_until([&] { return cycles() >= 2; }));
    servers[0].signal(SIGTERM);
    ASSERT_TRUE(servers[0].wait(5s).has_value());
    size_t seen = cycles();
    // More than the timeout of the one left: it would have timed out unheard.
    ASSERT_TRUE(wait_until([&] { return cycles() >= seen + 5; }, 20s));
    EXPECT_EQ(log.count("timeout"), 0u);
    EXPECT_GE(log.count(std::string("Send failure of message: ") + strerror(ECONNREFUSED)), 1u);
    EXPECT_EQ(dir.read("effects" + std::to_string(port2)), "up\n");
    auto st = stop(client);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
}

// Sensors that print garbage, too much, nothing, or take a while are each
// logged and passed over; the message still goes out with the address of
// the sensor that works.
TEST_F(ClientE2E, MisbehavingSensorsNeverStopTheClient) {
    ChildProcess server = start_server(0);
    std::string conf = client_conf("(sensor (system \"printf '\\\\377\\\\001garbage'\")"
                                   " (system yes) (system true) (system \"exec 1>&-; sleep 1\")"
                                   " (system \"sleep 1; echo 127.0.0.1\"))\n");
    ChildProcess client = start_client({"-c", conf});
    auto st = client.wait(20s);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_EQ(log.texts(CLIENT), (std::vector<std::string>{
                                     "Bad pipe sesnsor output: \"\xff\x01garbage\"\n",
                                     "Bad pipe sesnsor output: \"y\ny\ny\ny\ny\ny\ny\ny\n\"\n",
                                     "Error while reading output of \"true\"\n",
                                     "Error while reading output of \"exec 1>&-; sleep 1\"\n",
                                     "Client exiting\n",
                                 }));
    EXPECT_TRUE(log.wait_for("Account host1 up (127.0.0.1)\n", 10s, SERVER).has_value());
}

} // namespace
