// zorvel-server end to end: the real program on 127.0.0.1 with a
// configuration in a temporary tree, fed datagrams built with the codec,
// judged by its real syslog records and the files its effectors touch. The
// receive step is also driven directly on loopback sockets.
#include "common/protocol/update_msg.h"
#include "server/presence.h"
#include "server/server_loop.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using addr4 = std::array<uint8_t, 4>;
constexpr addr4 LOOPBACK = {127, 0, 0, 1};

std::string datagram(std::string_view name, std::string_view key, addr4 addr = LOOPBACK,
                     time_t when = time(nullptr)) {
    update_msg m = {};
    m.time = when;
    m.name = name.data();
    m.name_len = name.size();
    memcpy(m.addr, addr.data(), 4);
    uint8_t buf[UPDATE_MSG_MAX];
    size_t n = update_msg_encode(buf, sizeof buf, &m, key.data(), key.size());
    return {reinterpret_cast<const char *>(buf), n};
}

std::string qstr(const std::string &s) {
    return "\"" + s + "\"";
}

// A zone whose serial is old and whose record for "home" points elsewhere.
constexpr std::string_view ZONE = "$TTL 300\n"
                                  "@ IN SOA ns.example. admin.example. 2001020301 3600 600 86400 "
                                  "300\n"
                                  "home IN A 10.0.0.1\n"
                                  "www IN CNAME home\n";

// The zone as the server leaves it: serial of today with count nn, the
// record pointing at addr (commented out for 0.0.0.0), dated when.
std::string zone_after(const char *addr, int nn, time_t when) {
    tm t = {};
    gmtime_r(&when, &t);
    char serial[64];
    snprintf(serial, sizeof serial, "%04d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             nn);
    std::string line = std::string(strcmp(addr, "0.0.0.0") == 0 ? "; " : "") + "home IN A " + addr;
    return "$TTL 300\n@ IN SOA ns.example. admin.example. " + std::string(serial) +
           " 3600 600 86400 300\n" + line + "\nwww IN CNAME home\n";
}

void set_mtime(const std::string &path, time_t when) {
    timeval tv[2] = {{when, 0}, {when, 0}};
    utimes(path.c_str(), tv);
}

// Opens the FIFO that a "cat" effector blocks on and closes it again, which
// lets that effector (and with it the server) go on.
bool open_gate(const std::string &fifo) {
    return wait_until([&] {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return false;
        close(fd);
        return true;
    });
}

std::string usage_line() {
    return "Usage: " + server_program() +
           " [-c conffile] [-d] [-p pidfile] [-t chrootdir] [-u username]\n";
}

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!cap.start(&why))
            GTEST_SKIP() << "cannot capture syslog here: " << why;
        port = free_udp_port();
        ASSERT_GT(port, 0);
    }

    std::string listen() const { return "(listen " + std::to_string(port) + " 127.0.0.1)\n"; }
    // Writes server.conf with the listening socket and the given accounts.
    std::string conf(const std::string &accounts, std::string_view name = "server.conf") {
        return dir.write(name, listen() + accounts);
    }

    ChildProcess start(std::vector<std::string> args) {
        bound = false;
        args.insert(args.begin(), server_program());
        return ChildProcess::spawn(args, "", dir.file("stderr"));
    }

    bool send(const std::string &dgram) { return send_udp(port, dgram.data(), dgram.size()); }

    // Waits until the loop runs (its handler installed) and has judged
    // everything sent before: a datagram for an unknown account, sent once
    // the socket is bound, has been refused. The records so far are dropped
    // unless keep is set.
    bool ready(bool keep = false) {
        if (!bound && !cap.wait_for("Listening on", 10s, "zorvel-server"))
            return false;
        bound = true;
        size_t seen = cap.count("Account \"probe\" not found.\n");
        // Each probe from a network of its own, so that the refusal limiter
        // never counts a probe instead of writing it.
        std::string source = "127.0." + std::to_string(++probes % 250 + 1) + ".1";
        std::string d = datagram("probe", "k");
        if (!send_udp(port, d.data(), d.size(), source.c_str()))
            return false;
        bool ok = wait_until([&] { return cap.count("Account \"probe\" not found.\n") > seen; });
        if (!keep)
            cap.clear();
        return ok;
    }

    // Waits until the zone file holds the expected text, with the serial
    // dated at the start of the wait or at its end (midnight may pass).
    bool zone_becomes(const std::string &zone, const char *addr, int nn) {
        time_t before = time(nullptr);
        return wait_until([&] {
            std::string z = read_file(zone);
            return z == zone_after(addr, nn, before) || z == zone_after(addr, nn, time(nullptr));
        });
    }

    std::vector<std::string> records() { return cap.texts("zorvel-server"); }

    TempDir dir;
    SyslogCapture cap;
    int port = -1;
    bool bound = false;
    int probes = 0;
};

// ---------------------------------------------------------------------------
// Start-up failures.

struct start_failure {
    const char *what;
    std::vector<std::string>
        args; // "@conf" is the valid configuration, "@dir/x" a file in the tree
    std::vector<std::string> records;
    bool usage;
};

TEST_F(ServerTest, StartUpFailuresEndWithStatusOneAndTheirRecords) {
    std::string good = conf("(account (name home) (key k))\n");
    std::string no_listen = dir.write("nolisten.conf", "(account (name home) (key k))\n");
    std::string missing = dir.file("missing.conf");
    const start_failure cases[] = {
        {"no -c", {}, {"No configuration file provided in invokation\n"}, true},
        {"-c without argument", {"-c"}, {}, true},
        {"unknown option", {"-x", "-c", good}, {}, true},
        // A server told to drop root that cannot must not go on as root.
        {"unknown user",
         {"-u", "zorvel-no-such-user", "-c", good},
         {"Unable to get information about user \"zorvel-no-such-user\"\n"},
         false},
        {"missing file",
         {"-c", missing},
         {"Unable to stat \"" + missing + "\": No such file or directory\n",
          "Bad starting config, exiting\n"},
         false},
        {"no socket",
         {"-c", no_listen},
         {"No valid listening socket from \"" + no_listen + "\"\n",
          "Bad starting config, exiting\n"},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        cap.clear();
        ChildProcess p = start(c.args);
        auto st = p.wait();
        ASSERT_TRUE(st.has_value());
        EXPECT_EQ(exit_code(*st), 1);
        EXPECT_EQ(records(), c.records);
        std::string err = read_file(dir.file("stderr"));
        EXPECT_EQ(err.find(usage_line()) != std::string::npos, c.usage) << err;
    }
}

// ---------------------------------------------------------------------------
// Datagrams through the whole program.

TEST_F(ServerTest, ValidUpdateRewritesTheZoneAndRunsTheCommand) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string out = dir.file("out");
    std::string c = conf("(account (name home) (key \"s3cret\") (interval 300)\n"
                         "  (effector (zone " +
                         qstr(zone) + ")\n" + "    (system \"echo \" (name) \" \" (addr) " +
                         qstr(" >> " + out) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());

    ASSERT_TRUE(send(datagram("HOME", "s3cret")));
    // The command runs after the zone effector, so the zone is complete.
    ASSERT_TRUE(wait_until([&] { return read_file(out) == "home 127.0.0.1\n"; }));
    EXPECT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "Account home up (127.0.0.1)\n",
                             "Updating zone \"" + zone + "\" record \"home\" to 127.0.0.1\n",
                         }));
}

// The IPv6 datagram for name, announcing addr (RFC 4291 text).
std::string datagram6(std::string_view name, std::string_view key, const char *addr) {
    update_msg m = {};
    m.time = time(nullptr);
    m.name = name.data();
    m.name_len = name.size();
    m.family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, addr, m.addr6), 1);
    uint8_t buf[UPDATE_MSG_MAX];
    size_t n = update_msg_encode(buf, sizeof buf, &m, key.data(), key.size());
    return {reinterpret_cast<const char *>(buf), n};
}

// Sends dgram from the IPv6 address from to [to]:port; true when sent whole.
bool send_udp6(const char *from, const char *to, int port, const std::string &dgram) {
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 src{}, dst{};
    src.sin6_family = dst.sin6_family = AF_INET6;
    dst.sin6_port = htons(static_cast<uint16_t>(port));
    bool ok = inet_pton(AF_INET6, from, &src.sin6_addr) == 1 &&
              inet_pton(AF_INET6, to, &dst.sin6_addr) == 1 &&
              bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) == 0 &&
              sendto(fd, dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr *>(&dst),
                     sizeof dst) == static_cast<ssize_t>(dgram.size());
    close(fd);
    return ok;
}

// In a network namespace of the test's own, with documentation addresses:
// the host's default source towards the server is 2001:db8::53, its sensor
// yields 2001:db8::b, and the real client and server agree on the latter
// without allow-unsafe. A datagram with a good MAC that announces that
// address from another one is refused.
TEST_F(ServerTest, IPv6ClientFromItsSensorAddressIsAcceptedAndAForgeryRefused) {
    std::string why;
    if (!enter_private_network({"2001:db8::53", "2001:db8::b", "2001:db8::c"}, &why))
        GTEST_SKIP() << "no network namespace here: " << why;
    std::string out = dir.file("out");
    std::string c = dir.write(
        "server.conf", listen() + "(listen6 " + std::to_string(port) +
                           " \"2001:db8::53\")\n"
                           "(account (name host1) (key k) (effector (system \"echo \" (type) "
                           "\" \" (addr) " +
                           qstr(" >> " + out) + ")))\n");
    ChildProcess server = start({"-c", c});
    ASSERT_TRUE(ready(true));
    EXPECT_EQ(cap.count("Listening on 2 sockets\n"), 1u);
    cap.clear();

    std::string cc = dir.write("client.conf", "(server6 \"2001:db8::53\" " + std::to_string(port) +
                                                  ") (name host1) (key k) (interval 1)\n"
                                                  "(sensor6 (system \"echo 2001:db8::b\"))\n");
    ChildProcess client = ChildProcess::spawn({client_program(), "-c", cc}, {}, dir.file("c.err"));
    ASSERT_TRUE(wait_until([&] {
        return file_exists(out) && read_file(out) == "AAAA 2001:db8::b\n";
    })) << (file_exists(out) ? read_file(out) : "no effect");
    client.signal(SIGTERM);
    ASSERT_TRUE(client.wait(5s).has_value());

    ASSERT_TRUE(
        send_udp6("2001:db8::c", "2001:db8::53", port, datagram6("host1", "k", "2001:db8::b")));
    ASSERT_TRUE(cap.wait_for("Address mismatch", 10s, "zorvel-server"));
    // A forged :: is refused as unsafe, with the dump of the peer.
    ASSERT_TRUE(send_udp6("2001:db8::c", "2001:db8::53", port, datagram6("host1", "k", "::")));
    ASSERT_TRUE(cap.wait_for("Rejecting unsafe message\n", 10s, "zorvel-server"));
    ASSERT_TRUE(ready(true));
    std::vector<std::string> texts = records();
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(texts[0], "Account host1 up (2001:db8::b)\n");
    EXPECT_EQ(texts[1], "Address mismatch between peer 2001:db8::c and message 2001:db8::b\n");
    EXPECT_EQ(texts[2], "Rejecting unsafe message\n");
    EXPECT_EQ(texts[3].rfind("Message from 2001:db8::c at ", 0), 0u) << texts[3];
    EXPECT_EQ(texts[4], "    name \"host1\" address ::\n");
    EXPECT_EQ(read_file(out), "AAAA 2001:db8::b\n");
}

TEST_F(ServerTest, RefusedDatagramsChangeNothingAndAreLogged) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string c = conf("(account (name home) (key good) (interval 300) (effector (zone " +
                         qstr(zone) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());

    struct refusal {
        std::string dgram;
        int priority;
        std::string text;
    };
    const refusal cases[] = {
        {datagram("home", "bad"), LOG_WARNING, "HMAC mismatch\n"},
        {datagram("stranger", "good"), LOG_ERR, "Account \"stranger\" not found.\n"},
        {datagram("hom", "good"), LOG_ERR, "Account \"hom\" not found.\n"},
        {datagram("home", "good", {10, 1, 2, 3}), LOG_WARNING,
         "Address mismatch between peer 127.0.0.1 and message 10.1.2.3\n"},
        {datagram("home", "good", LOOPBACK, time(nullptr) - 3600), LOG_WARNING,
         "Anachronic message"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(send(c.dgram));
        auto e = cap.wait_for(c.text, 10s, "zorvel-server");
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->priority, c.priority);
    }
    // Bytes that are no update at all are refused too, and the server goes on.
    std::string junk(1500, '\xff');
    ASSERT_TRUE(send(junk));
    ASSERT_TRUE(send(""));
    ASSERT_TRUE(ready(true));
    EXPECT_EQ(read_file(zone), ZONE);
    EXPECT_EQ(cap.count(" up ("), 0u);
}

// The first datagram's command blocks the server on a FIFO while two more
// are queued on the one socket. The first of those moves a new
// configuration into place, in which the second one's key is valid: it is
// accepted only if the two were judged in separate passes, each after that
// pass's reload.
// A command that never ends holds up no other account: their datagrams are
// judged and their effectors run meanwhile. SIGTERM then ends the server at
// once, the command left running, and the state file keeps the work it had
// not finished, for the next start.
TEST_F(ServerTest, BlockedCommandHoldsUpNobodyAndSigtermKeepsItsWork) {
    std::string gate = dir.file("gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    std::string out = dir.file("out");
    std::string state = dir.file("state");
    std::string c =
        conf("(state " + state + ")\n(account (name gate) (key kg) (effector (system " +
             qstr("cat " + gate + " >/dev/null") + ")))\n" +
             "(account (name a) (key ka) (effector (system " + qstr("echo a >> " + out) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("gate", "kg")));
    ASSERT_TRUE(cap.wait_for("Account gate up", 10s, "zorvel-server"));
    ASSERT_TRUE(send(datagram("a", "ka")));
    ASSERT_TRUE(cap.wait_for("Account a up", 10s, "zorvel-server"));
    EXPECT_TRUE(wait_until([&] { return read_file(out) == "a\n"; }));

    auto t0 = std::chrono::steady_clock::now();
    p.signal(SIGTERM);
    auto st = p.wait(5s);
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(open_gate(gate));
    ASSERT_TRUE(st.has_value()) << "server still running after SIGTERM";
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_LT(took, 3s);
    std::string kept = read_file(state);
    // (a's command may not have been reaped yet, so it may be kept too.)
    EXPECT_NE(kept.find("(pending gate 127.0.0.1 1)\n"), std::string::npos) << kept;
}

// A changed modification time, even an earlier one, reloads the file before
// the next datagram is judged; the account stays up across the reload, so
// the datagram under the new key is taken silently. The socket of the
// unchanged listen form is kept as it is: no error, and it goes on serving.
TEST_F(ServerTest, ReloadIsPickedUpByTheNextDatagram) {
    std::string c = conf("(account (name home) (key one))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("home", "one")));
    ASSERT_TRUE(cap.wait_for("Account home up (127.0.0.1)\n", 10s, "zorvel-server"));

    conf("(account (name home) (key two))\n");
    set_mtime(c, 1000000000);
    cap.clear();
    ASSERT_TRUE(send(datagram("home", "two")));
    ASSERT_TRUE(send(datagram("home", "one")));
    ASSERT_TRUE(cap.wait_for("HMAC mismatch\n", 10s, "zorvel-server"));
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "Listening on 1 sockets\n",
                             "HMAC mismatch\n",
                         }));
}

// Nothing but the account's own deadline wakes the server here.
TEST_F(ServerTest, SilentAccountTimesOutAndItsRecordIsCommentedOut) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string c =
        conf("(account (name home) (key k) (timeout 1) (effector (zone " + qstr(zone) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("home", "k")));
    ASSERT_TRUE(
        cap.wait_for("Account home timeout (last seen at 127.0.0.1)\n", 10s, "zorvel-server"));
    EXPECT_TRUE(zone_becomes(zone, "0.0.0.0", 2)) << read_file(zone);
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "Account home up (127.0.0.1)\n",
                             "Updating zone \"" + zone + "\" record \"home\" to 127.0.0.1\n",
                             "Account home timeout (last seen at 127.0.0.1)\n",
                             "Updating zone \"" + zone + "\" record \"home\" to 0.0.0.0\n",
                         }));
}

// An account whose effectors change, or that leaves the file, loses its
// record at the reload: its old effectors run with 0.0.0.0. With its new
// effectors it comes up again at its next datagram.
TEST_F(ServerTest, ReloadTakesDownChangedAndRemovedAccounts) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string flag = dir.file("flag");
    std::string c = conf("(account (name home) (key k) (effector (zone " + qstr(zone) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("home", "k")));
    ASSERT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);

    conf("(account (name home) (key k) (effector (zone " + qstr(zone) + ") (system " +
         qstr("touch " + flag) + ")))\n");
    set_mtime(c, 1000000000);
    ASSERT_TRUE(ready(true)); // the probe wakes the loop, which reloads
    EXPECT_TRUE(zone_becomes(zone, "0.0.0.0", 2)) << read_file(zone);
    EXPECT_FALSE(file_exists(flag));
    ASSERT_TRUE(send(datagram("home", "k")));
    ASSERT_TRUE(zone_becomes(zone, "127.0.0.1", 3)) << read_file(zone);
    EXPECT_TRUE(wait_until([&] { return file_exists(flag); }));

    conf("(account (name other) (key k))\n");
    set_mtime(c, 1000000001);
    ASSERT_TRUE(ready(true));
    EXPECT_TRUE(zone_becomes(zone, "0.0.0.0", 4)) << read_file(zone);
    const std::string removed = "Account home removed (last seen at 127.0.0.1)\n";
    EXPECT_EQ(cap.count(removed), 2u);
    EXPECT_EQ(cap.count("Account home up (127.0.0.1)\n"), 2u);
}

// A restart while the client keeps sending takes its presence from the
// state file: the next datagram is a refresh, with no record, effector run
// or zone write. A malformed state file is reported and restores nothing.
TEST_F(ServerTest, RestartKeepsPresenceFromTheStateFile) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string state = dir.file("presence");
    std::string c = conf("(state " + qstr(state) + ")\n(account (name home) (key k) (timeout 60) " +
                         "(effector (zone " + qstr(zone) + ")))\n");
    auto stop = [](ChildProcess &p) {
        p.signal(SIGTERM);
        auto st = p.wait();
        return st.has_value() && exit_code(*st) == 0;
    };
    {
        ChildProcess p = start({"-c", c});
        ASSERT_TRUE(ready());
        ASSERT_TRUE(send(datagram("home", "k")));
        ASSERT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);
        ASSERT_TRUE(stop(p));
    }
    ASSERT_EQ(read_file(state).rfind("(up home 127.0.0.1 ", 0), 0u) << read_file(state);
    std::string written = read_file(zone);

    cap.clear();
    {
        ChildProcess p = start({"-c", c});
        ASSERT_TRUE(ready());
        ASSERT_TRUE(send(datagram("home", "k")));
        ASSERT_TRUE(ready(true)); // judged
        EXPECT_EQ(records(), std::vector<std::string>{"Account \"probe\" not found.\n"});
        EXPECT_EQ(read_file(zone), written);
        ASSERT_TRUE(stop(p));
    }

    dir.write("presence", "(up home 127.0.0.1)\n");
    cap.clear();
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready(true));
    ASSERT_TRUE(send(datagram("home", "k")));
    ASSERT_TRUE(cap.wait_for("Account home up (127.0.0.1)\n", 10s, "zorvel-server"));
    EXPECT_EQ(cap.count("Malformed state file \"" + state + "\", presence not restored\n"), 1u);
    ASSERT_TRUE(stop(p));
}

// An account removed from the configuration while the server was down has
// its record taken down at the next start, with the effectors the state
// file kept for it, and only once; a state file that is a FIFO does not
// hold the start up.
TEST_F(ServerTest, AccountRemovedWhileStoppedIsTakenDownAtStart) {
    std::string zone = dir.write("zone.db", ZONE);
    std::string state = dir.file("presence");
    const std::string state_form = "(state " + qstr(state) + ")\n";
    std::string c =
        conf(state_form + "(account (name home) (key k) (effector (zone " + qstr(zone) + ")))\n");
    auto stop = [](ChildProcess &p) {
        p.signal(SIGTERM);
        auto st = p.wait();
        return st.has_value() && exit_code(*st) == 0;
    };
    {
        ChildProcess p = start({"-c", c});
        ASSERT_TRUE(ready());
        ASSERT_TRUE(send(datagram("home", "k")));
        ASSERT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);
        ASSERT_TRUE(stop(p));
    }
    conf(state_form + "(account (name other) (key k))\n");
    const std::string removed = "Account home removed (last seen at 127.0.0.1)\n";
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run == 0 ? "first start" : "second start");
        cap.clear();
        ChildProcess p = start({"-c", c});
        ASSERT_TRUE(ready(true));
        EXPECT_EQ(cap.count(removed), run == 0 ? 1u : 0u);
        EXPECT_TRUE(zone_becomes(zone, "0.0.0.0", 2)) << read_file(zone);
        ASSERT_TRUE(stop(p));
        EXPECT_EQ(read_file(state), "");
    }

    ASSERT_EQ(unlink(state.c_str()), 0);
    ASSERT_EQ(mkfifo(state.c_str(), 0644), 0);
    cap.clear();
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready(true));
    EXPECT_EQ(
        cap.count("State file \"" + state + "\" is not a regular file, presence not restored\n"),
        1u);
    ASSERT_TRUE(stop(p));
}

// ---------------------------------------------------------------------------
// Orderly stop.

TEST_F(ServerTest, SigtermWhileWaitingEndsWithExitingRecordAndStatusZero) {
    ChildProcess p = start({"-c", conf("")});
    ASSERT_TRUE(ready());
    p.signal(SIGTERM);
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_EQ(records(), (std::vector<std::string>{"Server exiting\n"}));
}

// A SIGTERM that arrives while an effector holds the loop is kept until the
// next wait, which it ends at once: the server must not sleep on until
// another datagram comes.
TEST_F(ServerTest, SigtermWhileBusyStopsWithoutAnotherDatagram) {
    std::string gate = dir.file("gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    std::string c = conf("(account (name gate) (key kg) (effector (system " +
                         qstr("cat " + gate + " >/dev/null") + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("gate", "kg")));
    ASSERT_TRUE(cap.wait_for("Account gate up", 10s, "zorvel-server"));
    p.signal(SIGTERM);
    ASSERT_TRUE(open_gate(gate));
    auto st = p.wait(5s);
    ASSERT_TRUE(st.has_value()) << "server still running after SIGTERM";
    EXPECT_EQ(exit_code(*st), 0);
    EXPECT_EQ(records().back(), "Server exiting\n");
}

// ---------------------------------------------------------------------------
// Detaching, PID file, root and user.

TEST_F(ServerTest, DetachedServerWritesItsPidAndRemovesTheFileOnSigterm) {
    if (!become_subreaper())
        GTEST_SKIP() << "cannot adopt the detached process here";
    std::string pidfile = dir.file("server.pid");
    ChildProcess p = start({"-d", "-p", pidfile, "-c", conf("")});
    auto st = p.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 0);

    auto daemonized = cap.wait_for("Process successfully daemonized", 10s, "zorvel-server");
    ASSERT_TRUE(daemonized.has_value());
    pid_t pid = static_cast<pid_t>(daemonized->pid);
    struct reaper {
        pid_t pid;
        ~reaper() {
            if (kill(pid, SIGKILL) == 0)
                wait_gone(pid);
        }
    } cleanup{pid};
    EXPECT_NE(pid, p.pid());
    EXPECT_EQ(daemonized->text, "Process successfully daemonized [" + std::to_string(pid) + "]\n");
    ASSERT_TRUE(wait_until([&] { return read_file(pidfile) == std::to_string(pid) + "\n"; }));
    ASSERT_TRUE(ready());

    kill(pid, SIGTERM);
    ASSERT_TRUE(wait_gone(pid));
    EXPECT_FALSE(file_exists(pidfile));
    EXPECT_EQ(records(), (std::vector<std::string>{"Server exiting\n"}));
}

TEST_F(ServerTest, RunningOwnerOfThePidFileStopsASecondInstance) {
    std::string pidfile = dir.file("server.pid");
    ChildProcess first = start({"-p", pidfile, "-c", conf("")});
    ASSERT_TRUE(ready());
    std::string owner = std::to_string(first.pid());
    ASSERT_EQ(read_file(pidfile), owner + "\n");

    int first_port = port;
    port = free_udp_port();
    ChildProcess second = start({"-p", pidfile, "-c", conf("", "second.conf")});
    auto st = second.wait();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(exit_code(*st), 1);
    EXPECT_EQ(records(),
              (std::vector<std::string>{
                  "Listening on 1 sockets\n",
                  "Error: PID file \"" + pidfile + "\" exists and is owned by " + owner + "\n",
              }));
    EXPECT_EQ(read_file(pidfile), owner + "\n");

    port = first_port;
    first.signal(SIGTERM);
    ASSERT_TRUE(first.wait().has_value());
    EXPECT_FALSE(file_exists(pidfile));
}

// Inside the new root the server is nobody; the configuration and the zone
// are named as seen from there.
TEST_F(ServerTest, ChangedRootAndUserNameEveryFileInsideTheRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing root needs root";
    const passwd *pw = getpwnam("nobody");
    if (pw == nullptr)
        GTEST_SKIP() << "no user nobody";
    uid_t nobody = pw->pw_uid;
    std::string zone = dir.write("zone.db", ZONE);
    chmod(zone.c_str(), 0666);
    conf("(account (name home) (key k) (effector (zone \"/zone.db\")))\n");
    ChildProcess p = start({"-t", dir.path(), "-u", "nobody", "-c", "/server.conf"});
    ASSERT_TRUE(ready());

    std::string status = read_file("/proc/" + std::to_string(p.pid()) + "/status");
    std::string n = std::to_string(nobody);
    EXPECT_NE(status.find("\nUid:\t" + n + "\t" + n + "\t" + n + "\t" + n + "\n"),
              std::string::npos)
        << status;
    char root[PATH_MAX] = {};
    ASSERT_GT(
        readlink(("/proc/" + std::to_string(p.pid()) + "/root").c_str(), root, sizeof root - 1), 0);
    EXPECT_EQ(std::string(root), dir.path());

    ASSERT_TRUE(send(datagram("home", "k")));
    EXPECT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);
    EXPECT_EQ(records(), (std::vector<std::string>{
                             "Account home up (127.0.0.1)\n",
                             "Updating zone \"/zone.db\" record \"home\" to 127.0.0.1\n",
                         }));
}

// ---------------------------------------------------------------------------
// What a datagram must not be able to do.

// A name that carries a record of its own, and controls for the operator's
// terminal, is one record with every such byte escaped.
TEST_F(ServerTest, ForgedNameIsOneRecordWithItsBytesEscaped) {
    ChildProcess p = start({"-c", conf("(account (name home) (key k))\n")});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("x\" not found.\nAccount home up (203.0.113.66)\n\x1b[2J\a", "k")));
    ASSERT_TRUE(ready(true));
    std::vector<std::string> got = records();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0],
              "Account \"x\\\" not found.\\nAccount home up (203.0.113.66)\\n\\x1b[2J\\x07\" "
              "not found.\n");
}

// Junk of four kinds, sent in batches the server keeps up with: of each kind
// the first few records are written, and the summaries account for every
// other datagram.
TEST_F(ServerTest, FloodOfJunkIsCountedAndSummarised) {
    ChildProcess p = start({"-c", conf("(account (name home) (key k) (max-past 60))\n")});
    ASSERT_TRUE(ready());
    constexpr int per_kind = 300, batch = 50;
    const struct {
        std::string dgram, first, label;
    } kinds[] = {
        {"junk", "Invalid packet\n", "Invalid packet, from 127.0.0.0/24"},
        {datagram("home", "wrong"), "HMAC mismatch\n", "HMAC mismatch, account home"},
        {datagram("ghost", "k"), "Account \"ghost\" not found.\n",
         "Account not found, from 127.0.0.0/24"},
        {datagram("home", "k", LOOPBACK, time(nullptr) - 3600), "Anachronic message 36",
         "Anachronic message, account home"},
    };
    for (int sent = 0; sent < per_kind; sent += batch) {
        for (int i = 0; i < batch; i++)
            for (const auto &k : kinds)
                ASSERT_TRUE(send(k.dgram));
        ASSERT_TRUE(ready(true));
    }
    // Each summary "N more datagrams refused like this since T: LABEL".
    auto summarised = [&](const std::string &label) {
        unsigned long n = 0;
        for (const std::string &t : records())
            if (t.find(" more datagrams refused like this since ") != std::string::npos &&
                t.size() > label.size() + 1 &&
                t.compare(t.size() - label.size() - 1, label.size(), label) == 0)
                n += std::stoul(t);
        return n;
    };
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.label);
        EXPECT_TRUE(wait_until([&] { return summarised(k.label) == per_kind - 5; }, 15s))
            << summarised(k.label);
        EXPECT_EQ(cap.count(k.first), 5u);
    }
    // The dump of an anachronic message goes with its record.
    EXPECT_EQ(cap.count("    name \"home\" address 127.0.0.1\n"), 5u);
}

// Under allow-unsafe the address is the sender's: a captured datagram
// replayed from ten other addresses moves nothing, while the same datagram
// from its sender and the IPv6 one of the same cycle still pass.
TEST_F(ServerTest, ReplayFromOtherAddressesMovesNothingUnderNoReplay) {
    std::string out = dir.file("out");
    int port6 = free_udp_port();
    std::string c = dir.write(
        "server.conf", listen() + "(listen6 " + std::to_string(port6) +
                           " ::1)\n(account (name home) (key k) (interval 300) "
                           "(flags allow-unsafe no-replay)\n  (effector (system \"echo \" (addr) " +
                           qstr(" >> " + out) + ")))\n");
    ChildProcess p = start({"-c", c});
    ASSERT_TRUE(ready());
    time_t now = time(nullptr);
    std::string captured = datagram("home", "k", {0, 0, 0, 0}, now);
    ASSERT_TRUE(send_udp(port, captured.data(), captured.size(), "127.0.0.2"));
    ASSERT_TRUE(wait_until([&] { return read_file(out) == "127.0.0.2\n"; }))
        << testing::PrintToString(records());
    for (int i = 3; i < 13; i++) {
        std::string from = "127.0.0." + std::to_string(i);
        ASSERT_TRUE(send_udp(port, captured.data(), captured.size(), from.c_str()));
    }
    ASSERT_TRUE(send_udp(port, captured.data(), captured.size(), "127.0.0.2"));
    update_msg m = {};
    m.time = now;
    m.name = "home";
    m.name_len = 4;
    m.family = AF_INET6;
    uint8_t buf[UPDATE_MSG_MAX];
    size_t n = update_msg_encode(buf, sizeof buf, &m, "k", 1);
    ASSERT_TRUE(send_udp6("::1", "::1", port6, std::string(reinterpret_cast<char *>(buf), n)));
    // Drains the capture while waiting: a full /dev/log queue would hold up
    // the server's next record, and with it the IPv6 datagram.
    ASSERT_TRUE(wait_until([&] {
        records();
        return read_file(out) == "127.0.0.2\n::1\n";
    }));
    ASSERT_TRUE(ready(true));
    EXPECT_EQ(cap.count("Replayed message " + std::to_string(now) + " vs " + std::to_string(now)),
              5u);
    EXPECT_EQ(cap.count("changed address"), 0u);
    EXPECT_EQ(read_file(out), "127.0.0.2\n::1\n");
}

// Bind-mounts a file of the test over a system file for as long as it
// lives; the capture's private mount namespace keeps it from the host.
struct bind_over {
    std::string target;
    bool ok = false;
    bind_over(const std::string &src, std::string t) : target(std::move(t)) {
        ok = mount(src.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    }
    ~bind_over() {
        if (ok)
            umount(target.c_str());
    }
};

// -u gives the server its user's groups: a zone writable only through a
// supplementary group of that user is updated.
TEST_F(ServerTest, UserSwitchKeepsTheUsersGroups) {
    if (geteuid() != 0)
        GTEST_SKIP() << "switching user needs root";
    std::string passwd =
        read_file("/etc/passwd") + "zvtest:x:47110:47110::/nonexistent:/bin/false\n";
    std::string group = read_file("/etc/group") + "zvtest:x:47110:\nzvzone:x:47111:zvtest\n";
    bind_over pw(dir.write("passwd", passwd), "/etc/passwd");
    bind_over gr(dir.write("group", group), "/etc/group");
    ASSERT_TRUE(pw.ok && gr.ok) << strerror(errno);
    std::string zones = dir.file("zones");
    ASSERT_EQ(mkdir(zones.c_str(), 0770), 0);
    ASSERT_EQ(chown(zones.c_str(), 0, 47111), 0);
    std::string zone = zones + "/zone.db";
    write_file(zone, ZONE);
    ASSERT_EQ(chown(zone.c_str(), 0, 47111), 0);
    chmod(zone.c_str(), 0660);
    chmod(dir.path().c_str(), 0755);
    std::string c = conf("(account (name home) (key k) (effector (zone " + qstr(zone) + ")))\n");
    chmod(c.c_str(), 0644);
    ChildProcess p = start({"-u", "zvtest", "-c", c});
    ASSERT_TRUE(ready());
    std::string status = read_file("/proc/" + std::to_string(p.pid()) + "/status");
    EXPECT_NE(status.find("\nGroups:\t47110 47111 \n"), std::string::npos) << status;
    ASSERT_TRUE(send(datagram("home", "k")));
    EXPECT_TRUE(zone_becomes(zone, "127.0.0.1", 1)) << read_file(zone);
}

// The kill effector signals a process of the PID file's owner, or any one
// for a root-owned file, and never init or another user's process.
TEST_F(ServerTest, KillEffectorSignalsOnlyWhatThePidFilesOwnerCould) {
    if (geteuid() != 0)
        GTEST_SKIP() << "owners other than root need root";
    const passwd *pw = getpwnam("nobody");
    if (pw == nullptr)
        GTEST_SKIP() << "no user nobody";
    std::string nobody = std::to_string(pw->pw_uid);
    ChildProcess roots = ChildProcess::spawn({"/bin/sleep", "30"});
    ChildProcess theirs =
        ChildProcess::spawn({"/usr/bin/setpriv", "--reuid=" + nobody, "--regid=" + nobody,
                             "--clear-groups", "/bin/sleep", "30"});
    ASSERT_GT(roots.pid(), 0);
    ASSERT_GT(theirs.pid(), 0);
    ASSERT_TRUE(wait_until([&] {
        return read_file("/proc/" + std::to_string(theirs.pid()) + "/status")
                   .find("\nUid:\t" + nobody) != std::string::npos;
    }));
    auto pidfile = [&](const char *name, pid_t pid, uid_t owner) {
        std::string f = dir.write(name, std::to_string(pid) + "\n");
        EXPECT_EQ(chown(f.c_str(), owner, static_cast<gid_t>(-1)), 0);
        return f;
    };
    std::string aimed = pidfile("aimed.pid", roots.pid(), pw->pw_uid);
    std::string init = pidfile("init.pid", 1, 0);
    std::string own = pidfile("own.pid", theirs.pid(), pw->pw_uid);
    ChildProcess p =
        start({"-c", conf("(account (name home) (key k) (effector (kill " + qstr(aimed) +
                          ") (kill " + qstr(init) + ") (kill " + qstr(own) + ")))\n")});
    ASSERT_TRUE(ready());
    ASSERT_TRUE(send(datagram("home", "k")));
    auto st = theirs.wait(10s);
    ASSERT_TRUE(st.has_value()) << "the owner's own process is signalled";
    EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGHUP);
    ASSERT_TRUE(ready(true));
    EXPECT_EQ(records(),
              (std::vector<std::string>{
                  "Account home up (127.0.0.1)\n",
                  "Refusing to signal process " + std::to_string(roots.pid()) + " of PID file \"" +
                      aimed + "\": process owner 0, PID file owner " + nobody + "\n",
                  "Refusing to signal process 1 of PID file \"" + init +
                      "\": process owner 0, PID file owner 0\n",
                  "Account \"probe\" not found.\n"}));
    EXPECT_EQ(kill(roots.pid(), 0), 0) << "root's process lives on";
}

// ---------------------------------------------------------------------------
// The receive step on its own.

struct udp_socket {
    int fd = -1;
    sockaddr_in addr = {};
    udp_socket() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    }
    ~udp_socket() { close(fd); }
    udp_socket(const udp_socket &) = delete;
    udp_socket &operator=(const udp_socket &) = delete;
    void send_to(const udp_socket &to, std::string_view bytes) const {
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to.addr),
               sizeof to.addr);
    }
    bool queued() const {
        pollfd p = {fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
};

struct pollset {
    array a;
    pollset() { array_init(&a, sizeof(pollfd)); }
    ~pollset() { array_free(&a); }
    pollset(const pollset &) = delete;
    pollset &operator=(const pollset &) = delete;
    void add(int fd, short revents) {
        int32_t i = array_append(&a);
        *static_cast<pollfd *>(array_get(&a, i)) = {fd, POLLIN, revents};
    }
};

struct slot_array {
    array a;
    slot_array() { array_init(&a, sizeof(recv_slot)); }
    ~slot_array() { array_free(&a); }
    slot_array(const slot_array &) = delete;
    slot_array &operator=(const slot_array &) = delete;
    const recv_slot &operator[](int32_t i) const {
        return *static_cast<const recv_slot *>(array_get(&a, i));
    }
};

TEST(ServerReceive, TakesOneDatagramPerReadySocketInArrayOrder) {
    udp_socket s1, s2, s3, sender;
    sender.send_to(s1, "one");
    sender.send_to(s1, "two");
    sender.send_to(s3, std::string(1500, 'x'));
    ASSERT_TRUE(wait_until([&] { return s1.queued() && s3.queued(); }));
    pollset ps;
    ps.add(s1.fd, POLLIN);
    ps.add(s2.fd, 0);
    ps.add(s3.fd, POLLIN);
    slot_array slots;
    LogCapture log;

    server_receive(&ps.a, &slots.a);
    ASSERT_EQ(slots.a.count, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(slots[0].data), slots[0].len), "one");
    EXPECT_EQ(slots[0].peer.in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(slots[0].peer.in.sin_port, sender.addr.sin_port);
    EXPECT_EQ(slots[1].len, 1024) << "a longer datagram is cut to the slot";
    EXPECT_TRUE(s1.queued()) << "the second datagram waits for the next pass";
    EXPECT_TRUE(log.records().empty());
}

TEST(ServerReceive, SocketErrorsAndFailedReceivesLeaveNoSlot) {
    udp_socket errored, empty, sender;
    sender.send_to(errored, "kept");
    ASSERT_TRUE(wait_until([&] { return errored.queued(); }));
    int closed = dup(empty.fd);
    close(closed);
    pollset ps;
    ps.add(errored.fd, POLLIN | POLLERR);
    ps.add(closed, POLLIN);
    ps.add(empty.fd, POLLIN); // ready a moment ago, nothing there now
    slot_array slots;
    LogCapture log;

    server_receive(&ps.a, &slots.a);
    EXPECT_EQ(slots.a.count, 0);
    EXPECT_EQ(log.records(), (std::vector<log_record>{
                                 {LOG_ERR, "Polled socket is in an error state\n"},
                                 {LOG_ERR, "recvfrom failure: Bad file descriptor\n"},
                             }));
    EXPECT_TRUE(errored.queued()) << "nothing is read from a socket in an error state";
}

// An array that cannot take one more element stands for memory running out.
TEST(ServerReceive, WithoutRoomForASlotTheDatagramStaysQueued) {
    udp_socket s, sender;
    sender.send_to(s, "kept");
    ASSERT_TRUE(wait_until([&] { return s.queued(); }));
    pollset ps;
    ps.add(s.fd, POLLIN);
    array full = {nullptr, INT32_MAX, INT32_MAX, sizeof(recv_slot)};
    LogCapture log;

    server_receive(&ps.a, &full);
    EXPECT_EQ(full.count, INT32_MAX);
    EXPECT_TRUE(log.records().empty());
    char buf[16];
    EXPECT_EQ(recv(s.fd, buf, sizeof buf, MSG_DONTWAIT), 4);
}

} // namespace
