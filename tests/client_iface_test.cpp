// The client's own view of its interfaces, on real ones: veth pairs in
// network namespaces of the test's own, with documentation addresses. The
// interface sensor's choice among the kinds of address the system holds,
// and the change watch that announces a new address at once.
#include "client/iface.h"
#include "client/sensor.h"
#include "common/csexp/sx_reader.h"
#include "common/protocol/address.h"
#include "common/protocol/update_msg.h"
#include "tests/support/dns_servers.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs argv to its end (bounded); its exit status, -1 when it did not exit
// normally in time.
int run(const std::vector<std::string> &argv) {
    ChildProcess p = ChildProcess::spawn(argv);
    auto st = p.wait(20s);
    return st ? exit_code(*st) : -1;
}

// ip(8) in the test's own namespace, or inside the named one.
struct Ip {
    std::string tool = find_tool("ip");
    std::string netns; // empty: the test's own

    int operator()(std::vector<std::string> args) const {
        args.insert(args.begin(), tool);
        if (!netns.empty())
            args.insert(args.begin(), {tool, "netns", "exec", netns});
        return run(args);
    }
    // Writes a sysctl of the namespace through its /proc/sys/net.
    int sysctl(const std::string &key, const std::string &value) const {
        std::string path = "/proc/sys/" + replace_dots(key);
        std::vector<std::string> args = {"/bin/sh", "-c", "echo " + value + " > " + path};
        if (!netns.empty())
            args.insert(args.begin(), {tool, "netns", "exec", netns});
        return run(args);
    }
    std::vector<std::string> lines(const std::string &args) const {
        std::string prefix = netns.empty() ? tool : tool + " netns exec " + netns + " " + tool;
        return output_lines(prefix + " " + args);
    }

    static std::string replace_dots(std::string s) {
        for (char &c : s)
            if (c == '.')
                c = '/';
        return s;
    }
};

// Runs each step and says which failed.
std::string all(const Ip &ip, const std::vector<std::vector<std::string>> &steps) {
    for (const auto &s : steps)
        if (ip(s) != 0)
            return "ip " + ::testing::PrintToString(s) + " failed";
    return {};
}

std::string text6(const uint8_t a[16]) {
    return address_format6(a).s;
}

std::string text4(const uint8_t a[4]) {
    return address_format4(a).s;
}

bool any_line_has(const std::vector<std::string> &lines, const std::string &a,
                  const std::string &b = {}) {
    for (const auto &l : lines)
        if (l.find(a) != std::string::npos && (b.empty() || l.find(b) != std::string::npos))
            return true;
    return false;
}

// A sensor list read from configuration text.
struct SensorList {
    sx_block tree{};
    explicit SensorList(const std::string &text) {
        FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        EXPECT_EQ(sx_read_file(&tree, f, 64, 64, 8), 0);
        fclose(f);
    }
    ~SensorList() { sx_free(&tree); }
    const sx_node *first() const { return tree.nsize > 0 ? &tree.nodes[0] : nullptr; }
};

// On zv0: a stable address, the temporary one the system makes from it, a
// deprecated one, a unique local one and the link-local one, the stable
// one listed last. On zv2, whose peer is down, an address that stays
// tentative. IPv4: a link-local address first, then two global ones.
TEST(InterfaceSensor, PicksTheStableGlobalAddressAmongTheOthers) {
    std::string why;
    Ip ip;
    if (ip.tool.empty())
        GTEST_SKIP() << "ip (iproute2) is missing";
    if (!enter_private_network({}, &why))
        GTEST_SKIP() << "network namespaces are not permitted here: " << why;
    why = all(ip, {{"link", "add", "zv0", "type", "veth", "peer", "name", "zv1"},
                   {"link", "add", "zv2", "type", "veth", "peer", "name", "zv3"}});
    ASSERT_EQ(why, "");
    // No duplicate detection on zv0, so its temporary address is usable at
    // once and only its flag tells it apart.
    ASSERT_EQ(ip.sysctl("net.ipv6.conf.zv0.dad_transmits", "0"), 0);
    ASSERT_EQ(ip.sysctl("net.ipv6.conf.zv0.use_tempaddr", "2"), 0);
    why = all(ip, {{"link", "set", "zv0", "up"},
                   {"link", "set", "zv1", "up"},
                   {"link", "set", "zv2", "up"},
                   {"-4", "addr", "add", "169.254.1.1/16", "dev", "zv0"},
                   {"-4", "addr", "add", "192.0.2.5/24", "dev", "zv0"},
                   {"-4", "addr", "add", "192.0.2.6/24", "dev", "zv0"},
                   {"-6", "addr", "add", "2001:db8:1::1/64", "dev", "zv0", "mngtmpaddr", "nodad"},
                   {"-6", "addr", "add", "2001:db8:1::2/64", "dev", "zv0", "nodad", "preferred_lft",
                    "0", "valid_lft", "3600"},
                   {"-6", "addr", "add", "fd00:1::1/64", "dev", "zv0", "nodad"},
                   {"-6", "addr", "add", "2001:db8:2::1/64", "dev", "zv2"}});
    ASSERT_EQ(why, "");
    // The test means something only with every kind present and settled.
    std::vector<std::string> shown;
    bool settled = wait_until([&] {
        shown = ip.lines("-6 -o addr show dev zv0");
        return any_line_has(shown, "temporary") && any_line_has(shown, "fe80::") &&
               !any_line_has(shown, "tentative");
    });
    ASSERT_TRUE(settled) << ::testing::PrintToString(shown);
    ASSERT_TRUE(any_line_has(shown, "2001:db8:1::2/64", "deprecated"));
    ASSERT_TRUE(any_line_has(ip.lines("-6 -o addr show dev zv2"), "2001:db8:2::1", "tentative"));

    LogCapture cap;
    uint8_t a6[16] = {};
    ASSERT_EQ(iface_address6(a6, "zv0", false), 0);
    EXPECT_EQ(text6(a6), "2001:db8:1::1");
    // With ula the unique local address counts as well, and comes first in
    // the system's order.
    ASSERT_EQ(iface_address6(a6, "zv0", true), 0);
    EXPECT_EQ(text6(a6), "fd00:1::1");
    uint8_t a4[4] = {};
    ASSERT_EQ(iface_address4(a4, "zv0"), 0);
    EXPECT_EQ(text4(a4), "192.0.2.5");
    EXPECT_TRUE(cap.records().empty());

    const struct {
        int family;
        const char *ifname;
        const char *record;
    } failures[] = {
        {AF_INET6, "zv2", "No usable IPv6 address on interface \"zv2\"\n"},
        {AF_INET6, "lo", "No usable IPv6 address on interface \"lo\"\n"},
        {AF_INET, "lo", "No usable IPv4 address on interface \"lo\"\n"},
        {AF_INET, "zv2", "No usable IPv4 address on interface \"zv2\"\n"},
        {AF_INET, "zv9", "No interface \"zv9\"\n"},
        {AF_INET6, "zv9", "No interface \"zv9\"\n"},
    };
    for (const auto &f : failures) {
        SCOPED_TRACE(f.ifname);
        cap.clear();
        int rc =
            f.family == AF_INET ? iface_address4(a4, f.ifname) : iface_address6(a6, f.ifname, true);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(cap.records(), (std::vector<log_record>{{LOG_ERR, f.record}}));
    }

    // In a sensor list, a failing interface passes the turn to the next
    // sensor, as a failing command does.
    cap.clear();
    SensorList six("(interface zv9) (interface zv2 ula) (interface zv0)");
    ASSERT_EQ(sensor_get_address6(a6, six.first()), 0);
    EXPECT_EQ(text6(a6), "2001:db8:1::1");
    SensorList four("(interface lo) interface (interface) (interface zv0)");
    ASSERT_EQ(sensor_get_address(a4, four.first()), 0);
    EXPECT_EQ(text4(a4), "192.0.2.5");
    EXPECT_EQ(cap.records(), (std::vector<log_record>{
                                 {LOG_ERR, "No interface \"zv9\"\n"},
                                 {LOG_ERR, "No usable IPv6 address on interface \"zv2\"\n"},
                                 {LOG_ERR, "No usable IPv4 address on interface \"lo\"\n"},
                             }));
}

// The test's own network namespace as the server's side, and a named one
// for the client, joined by a veth pair: the server sees the client's real
// source address. The named namespace carries the test's PID, so parallel
// runs never meet, and is deleted with the test.
class PeerNamespace {
  public:
    std::string create() {
        if (host.tool.empty())
            return "ip (iproute2) is missing";
        if (unshare(CLONE_NEWNET) != 0)
            return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        std::string name = "zorvel-watch-" + std::to_string(getpid());
        if (host({"netns", "add", name}) != 0)
            return "ip netns add failed";
        client.tool = host.tool;
        client.netns = name;
        std::string why =
            all(host, {{"link", "set", "lo", "up"},
                       {"link", "add", "zv0", "type", "veth", "peer", "name", "zv1", "netns", name},
                       {"addr", "add", "198.51.100.1/24", "dev", "zv0"},
                       {"-6", "addr", "add", "2001:db8:5::1/64", "dev", "zv0", "nodad"},
                       {"link", "set", "zv0", "up"}});
        if (why.empty())
            why = all(client, {{"link", "set", "lo", "up"},
                               {"addr", "add", "198.51.100.2/24", "dev", "zv1"},
                               {"-6", "addr", "add", "2001:db8:5::2/64", "dev", "zv1", "nodad"},
                               {"link", "set", "zv1", "up"}});
        return why;
    }
    ~PeerNamespace() {
        if (!client.netns.empty())
            host({"netns", "delete", client.netns}); // takes the veth pair with it
    }

    Ip host;
    Ip client;
};

constexpr char KEY[] = "|em9ydmVsIHRlc3Qga2V5LCBub3QgYSBzZWNyZXQ=|";

// With an interval of an hour, the client's new address reaches the server
// as soon as it is the one its interface sensor picks: the system's notice
// makes it ask its sensor again and send from the new address. IPv4: the
// old address goes and a second one takes over; IPv6: a newer stable
// address comes first in the system's order.
TEST(ChangeWatch, NewAddressIsAnnouncedAtOnceWithALongInterval) {
    SyslogCapture log;
    std::string why;
    if (!log.start(&why))
        GTEST_SKIP() << "needs a private /dev/log (root): " << why;
    PeerNamespace ns;
    why = ns.create();
    if (!why.empty())
        GTEST_SKIP() << "network namespaces are not permitted here: " << why;
    // The secondary address takes over when the primary goes.
    ASSERT_EQ(ns.client.sysctl("net.ipv4.conf.zv1.promote_secondaries", "1"), 0);

    TempDir dir;
    std::string server_conf =
        dir.write("server.conf", "(listen 8745 198.51.100.1) (listen6 8745 \"2001:db8:5::1\")\n"
                                 "(account (name roamer) (key " +
                                     std::string(KEY) +
                                     ") (flags no-replay) (effector (system \"true\")))\n");
    ChildProcess server = ChildProcess::spawn({server_program(), "-c", server_conf});
    ASSERT_TRUE(log.wait_for("Listening on 2 sockets\n", 10s, "zorvel-server"));
    std::string client_conf = dir.write(
        "client.conf", "(server 198.51.100.1 8745) (name roamer) (key " + std::string(KEY) +
                           ") (interval 3600) (sensor (interface zv1))\n"
                           "(server6 \"2001:db8:5::1\" 8745) (sensor6 (interface zv1))\n");
    ChildProcess client = ChildProcess::spawn(
        {ns.client.tool, "netns", "exec", ns.client.netns, client_program(), "-c", client_conf});
    ASSERT_TRUE(log.wait_for("Account roamer up (198.51.100.2)\n", 10s, "zorvel-server"));
    ASSERT_TRUE(log.wait_for("Account roamer up (2001:db8:5::2)\n", 10s, "zorvel-server"));

    // A second address changes nothing: the first is still the one.
    ASSERT_EQ(ns.client({"addr", "add", "198.51.100.3/24", "dev", "zv1"}), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ns.client({"addr", "del", "198.51.100.2/24", "dev", "zv1"}), 0);
    auto changed = log.wait_for(
        "Accound roamer changed address from 198.51.100.2 to 198.51.100.3\n", 10s, "zorvel-server");
    ASSERT_TRUE(changed.has_value());
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::cout << "address change announced after " << took.count() << " ms\n";
    EXPECT_EQ(log.count("Accound roamer changed"), 1u);

    start = std::chrono::steady_clock::now();
    ASSERT_EQ(ns.client({"-6", "addr", "add", "2001:db8:5::3/64", "dev", "zv1", "nodad"}), 0);
    ASSERT_TRUE(log.wait_for("Accound roamer changed address from 2001:db8:5::2 to 2001:db8:5::3\n",
                             10s, "zorvel-server"));
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
    std::cout << "IPv6 address change announced after " << took.count() << " ms\n";
    EXPECT_EQ(log.count("Accound roamer changed"), 2u);
    EXPECT_EQ(log.count("Address mismatch"), 0u);
    // The change comes in the second of the messages before it, from
    // another address: it has to state a later second to pass no-replay.
    EXPECT_EQ(log.count("Replayed message"), 0u);

    client.signal(SIGTERM);
    auto st = client.wait(5s);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    server.signal(SIGTERM);
    ASSERT_TRUE(server.wait(5s).has_value());
}

// However fast the system reports changes, the client sends at most one
// extra message a second: here every notice would make the sensor yield a
// new address, and the addresses come and go for two seconds.
TEST(ChangeWatch, ExtraMessagesAreAtMostOneASecond) {
    Ip ip;
    std::string why;
    if (ip.tool.empty())
        GTEST_SKIP() << "ip (iproute2) is missing";
    if (!enter_private_network({}, &why))
        GTEST_SKIP() << "network namespaces are not permitted here: " << why;
    UdpReceiver wire;
    TempDir dir;
    std::string counter = dir.file("n");
    write_file(counter, "0\n");
    std::string conf = dir.write("client.conf", "(server 127.0.0.1 " + std::to_string(wire.port()) +
                                                    ") (name n) (key k) (interval 3600)\n"
                                                    "(sensor (system \"n=$(($(cat " +
                                                    counter + ") + 1)); echo $n > " + counter +
                                                    "; echo 192.0.2.$n\"))\n");
    ChildProcess client = ChildProcess::spawn({client_program(), "-c", conf});
    ASSERT_FALSE(wire.receive().empty());

    auto start = std::chrono::steady_clock::now();
    int changes = 0;
    while (std::chrono::steady_clock::now() - start < 2s && changes < 200) {
        std::string a = "192.0.2." + std::to_string(100 + changes % 50) + "/32";
        ASSERT_EQ(ip({"addr", "add", a, "dev", "lo"}), 0);
        ASSERT_EQ(ip({"addr", "del", a, "dev", "lo"}), 0);
        changes++;
    }
    // Then until the wire is quiet: a change held back goes out within a
    // second of the last.
    int extra = 0;
    auto last = start;
    while (extra < 100 && !wire.receive().empty()) {
        extra++;
        last = std::chrono::steady_clock::now();
    }
    double seconds = std::chrono::duration<double>(last - start).count();
    std::cout << changes << " changes in " << seconds << " s: " << extra << " extra messages\n";
    EXPECT_GT(changes, 4);
    EXPECT_GE(extra, 2);
    EXPECT_LE(extra, static_cast<int>(seconds) + 1) << changes << " changes in " << seconds << " s";
    client.signal(SIGTERM);
    auto st = client.wait(5s);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
}

} // namespace
