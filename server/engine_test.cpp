#include "server/engine.h"

#include "server/effector_plan.h"
#include "server/state.h"
#include "tests/support/engine_drive.h"
#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"
#include "tests/support/sx_text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr time_t NOW = 1765000000; // 2025-12-06 UTC

const char ZONE[] = "$ORIGIN example.test.\n"
                    "@ 3600 IN SOA ns admin 2020010101 3600 600 86400 60\n"
                    "@ IN NS ns\n"
                    "ns IN A 192.0.2.1\n";

// Transitions for accounts that share the effector text (with NAME in it
// replaced by each account's name), each with its own plan.
struct Changes {
    std::vector<std::unique_ptr<sx_text_tree>> forms;
    std::vector<effector_plan *> plans;
    array tr = {nullptr, 0, 0, sizeof(presence_transition)};

    effector_plan *plan(const std::string &name, const std::string &effectors) {
        forms.push_back(std::make_unique<sx_text_tree>(effectors));
        effector_plan *p = effector_plan_build(forms.back()->first(), name.data(), name.size());
        plans.push_back(p);
        return p;
    }
    void add(effector_plan *p, uint8_t last, int family = AF_INET) {
        uint8_t addr[16] = {192, 0, 2, last};
        if (family == AF_INET6) {
            const uint8_t six[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
            memcpy(addr, six, 16);
        }
        presence_transition_add(&tr, p, family, nullptr, addr, EFFECTOR_ALL_STEPS);
    }
    ~Changes() {
        presence_transitions_clear(&tr);
        array_free(&tr);
        for (effector_plan *p : plans)
            effector_plan_drop(p);
    }
};

struct EngineTest : ::testing::Test {
    TempDir dir;
    LogCapture cap;
    FakeClock clock{NOW};
    engine *e = engine_create();
    Changes c;
    void TearDown() override { engine_destroy(e); }

    size_t count(const std::string &text) const {
        auto r = cap.records();
        return static_cast<size_t>(std::count_if(
            r.begin(), r.end(), [&](const log_record &l) { return l.text == text; }));
    }
};

// A burst of changes to one zone is one rewrite: every record is there and
// the serial advanced once (every write advances it), while each change
// still logs its own record.
TEST_F(EngineTest, BurstToOneZoneIsOneRewrite) {
    std::string zone = dir.write("z.zone", ZONE);
    for (int i = 1; i <= 200; i++)
        c.add(c.plan("h" + std::to_string(i), "(zone " + zone + ")"),
              static_cast<uint8_t>(i));
    ASSERT_TRUE(engine_drive(e, &c.tr));
    std::string text = read_file(zone);
    for (int i = 1; i <= 200; i++)
        EXPECT_NE(text.find("\nh" + std::to_string(i) + " IN A 192.0.2." + std::to_string(i) +
                            "\n"),
                  std::string::npos)
            << i;
    EXPECT_NE(text.find(" 2025120601 "), std::string::npos) << text;
    EXPECT_EQ(count("Updating zone \"" + zone + "\" record \"h7\" to 192.0.2.7\n"), 1u);
    EXPECT_TRUE(engine_idle(e));
}

// One account and family: the steps run in order, the next change waits for
// them, and of two waiting changes only the latest runs; the one it replaced
// is logged. Another account is not held up by any of it.
TEST_F(EngineTest, OrderAndSupersessionPerAccountAndFamily) {
    std::string out = dir.file("out");
    std::string zone = dir.write("z.zone", ZONE);
    effector_plan *home = c.plan("home", "(system \"sleep 0.2; echo 1 \" (addr) \" >> " + out +
                                             "\") (system \"echo 2 \" (addr) \" >> " + out + "\")");
    effector_plan *other = c.plan("other", "(zone " + zone + ")");
    c.add(home, 1);
    c.add(home, 2);
    c.add(home, 3);
    c.add(home, 4, AF_INET6); // the other family is a queue of its own
    c.add(other, 9);
    for (int32_t i = 0; i < c.tr.count; i++)
        engine_submit(e, static_cast<presence_transition *>(array_get(&c.tr, i)),
                      clock_mono_ms());
    presence_transitions_clear(&c.tr);
    engine_run(e, nullptr, clock_mono_ms());
    // The zone change did not wait for the sleeping command.
    EXPECT_NE(read_file(zone).find("other IN A 192.0.2.9"), std::string::npos);
    ASSERT_TRUE(engine_drive(e, nullptr));
    std::string text = read_file(out);
    std::vector<std::string> lines;
    for (size_t p = 0, nl; (nl = text.find('\n', p)) != std::string::npos; p = nl + 1)
        lines.push_back(text.substr(p, nl - p));
    std::vector<std::string> four(lines);
    four.erase(std::remove_if(four.begin(), four.end(),
                              [](const std::string &l) { return l.find(':') != std::string::npos; }),
               four.end());
    EXPECT_EQ(four, (std::vector<std::string>{"1 192.0.2.1", "2 192.0.2.1", "1 192.0.2.3",
                                              "2 192.0.2.3"}));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "2 2001:db8::4"), 1);
    EXPECT_EQ(count("Account home: change to 192.0.2.2 superseded by 192.0.2.3\n"), 1u);
}

// A zone that cannot be changed is tried again with a growing delay and
// taken once it can be; only the failed step runs again.
TEST_F(EngineTest, FailedZoneIsRetriedWithBackoffUntilMended) {
    std::string out = dir.file("out");
    std::string zone = dir.file("late.zone");
    c.add(c.plan("home", "(system \"echo ran >> " + out + "\") (zone " + zone + ")"), 7);
    ASSERT_TRUE(engine_drive(e, &c.tr));
    EXPECT_EQ(count("Account home: 1 effector(s) for 192.0.2.7 failed, retry in 2 s\n"), 1u);
    EXPECT_FALSE(engine_idle(e));
    EXPECT_EQ(engine_timeout(e, clock_mono_ms()) > 1000, true);

    ASSERT_TRUE(engine_drive(e, nullptr, 1000, 2100)); // the first delay has passed
    EXPECT_EQ(count("Account home: retrying 1 effector(s) for 192.0.2.7 (attempt 1)\n"), 1u);
    EXPECT_EQ(count("Account home: 1 effector(s) for 192.0.2.7 failed, retry in 4 s\n"), 1u);

    // A message with the same address brings the retry forward.
    dir.write("late.zone", ZONE);
    EXPECT_GT(engine_timeout(e, clock_mono_ms() + 2100), 1000);
    const uint8_t same[4] = {192, 0, 2, 7};
    presence_transition_add(&c.tr, c.plans[0], AF_INET, same, same, 0);
    ASSERT_TRUE(engine_drive(e, &c.tr, 1000, 2100));
    EXPECT_TRUE(engine_idle(e));
    EXPECT_NE(read_file(zone).find("home IN A 192.0.2.7"), std::string::npos);
    EXPECT_EQ(read_file(out), "ran\n");
}

// A full file system: the new zone cannot be written beside the old one,
// which stays as it was; once room is made, the retry writes it.
TEST_F(EngineTest, FullDiskIsRetriedOnceThereIsRoom) {
    std::string mnt = dir.file("small");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    // Gone however the test ends, so the temporary tree can be removed.
    struct unmount {
        std::string path;
        ~unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmounted{mnt};
    std::string zone = mnt + "/z.zone";
    write_file(zone, ZONE);
    // Fill it to the last block.
    std::string filler = mnt + "/filler";
    FILE *f = fopen(filler.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string block(1024, 'x');
    while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
    }
    fclose(f);
    c.add(c.plan("home", "(zone " + zone + ")"), 7);
    ASSERT_TRUE(engine_drive(e, &c.tr));
    EXPECT_EQ(read_file(zone), ZONE);
    EXPECT_EQ(count("Account home: 1 effector(s) for 192.0.2.7 failed, retry in 2 s\n"), 1u);

    unlink(filler.c_str());
    ASSERT_TRUE(engine_drive(e, nullptr, 1000, 2100));
    EXPECT_TRUE(engine_idle(e));
    EXPECT_NE(read_file(zone).find("home IN A 192.0.2.7"), std::string::npos);
}

// A socket that takes datagrams and never answers: a name server behind a
// firewall that drops its answers.
struct SilentServer {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    SilentServer() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~SilentServer() { close(fd); }
};

// Updates waiting on a silent primary and commands past their time hold up
// nobody: a healthy account's zone change is written in the first pass; the
// commands run two at a time, are killed at their limit and logged.
TEST_F(EngineTest, SilentPrimaryAndSlowCommandsHoldUpNothing) {
    SilentServer ns;
    ASSERT_GT(ns.port, 0);
    std::string zone = dir.write("z.zone", ZONE);
    const engine_limits lim{2, 1, 256};
    engine_set_limits(e, &lim);
    for (int i = 0; i < 20; i++)
        c.add(c.plan("u" + std::to_string(i),
                     "(dns-update (server 127.0.0.1 " + std::to_string(ns.port) +
                         ") (zone example.test) (key k hmac-sha256 secret) (wait 1000))"),
              static_cast<uint8_t>(i + 1));
    for (int i = 0; i < 3; i++)
        c.add(c.plan("s" + std::to_string(i), "(system \"sleep 30\")"), 1);
    c.add(c.plan("healthy", "(zone " + zone + ")"), 5);
    for (int32_t i = 0; i < c.tr.count; i++)
        engine_submit(e, static_cast<presence_transition *>(array_get(&c.tr, i)),
                      clock_mono_ms());
    presence_transitions_clear(&c.tr);
    int64_t t0 = clock_mono_ms();
    engine_run(e, nullptr, t0);
    EXPECT_NE(read_file(zone).find("healthy IN A 192.0.2.5"), std::string::npos);

    ASSERT_TRUE(engine_drive(e, nullptr, 8000));
    EXPECT_EQ(count("System effector \"sleep 30\" killed after 1 s\n"), 3u);
    EXPECT_EQ(count("Account u3: DNS update of u3.example.test A to 192.0.2.4: no answer from "
                    "127.0.0.1 port " +
                    std::to_string(ns.port) + " within 1000 ms (0 ignored)\n"),
              1u);
    // Two at a time: the third command started only when one was killed.
    EXPECT_GE(clock_mono_ms() - t0, 2000);
}

// Unfinished work goes to the state file beside the presence and comes
// back as transitions of the same steps.
TEST_F(EngineTest, PendingWorkSurvivesTheStateFile) {
    std::string zone = dir.file("missing.zone");
    std::string text = "(system \"true\") (zone " + zone + ")";
    effector_plan *p = c.plan("home", text);
    c.add(p, 7);
    c.add(c.plan("v6", text), 9, AF_INET6);
    ASSERT_TRUE(engine_drive(e, &c.tr));
    array pending;
    array_init(&pending, sizeof(state_pending));
    engine_pending_list(e, &pending);
    ASSERT_EQ(pending.count, 2);

    account accts[2] = {};
    accts[0].name = const_cast<char *>("v6");
    accts[0].name_len = 2;
    accts[0].plan = c.plans[1];
    accts[1].name = const_cast<char *>("home");
    accts[1].name_len = 4;
    accts[1].plan = p;
    array table = {accts, 2, 2, sizeof(account)};
    std::string path = dir.file("state");
    ASSERT_EQ(state_write(path.c_str(), &table, &pending), 0);
    std::string file = read_file(path);
    EXPECT_NE(file.find("(pending home 192.0.2.7 2)\n"), std::string::npos) << file;
    EXPECT_NE(file.find("(pending v6 \"2001:db8::9\" 2)\n"), std::string::npos) << file;

    array back = {nullptr, 0, 0, sizeof(presence_transition)};
    ASSERT_EQ(state_restore(path.c_str(), &table, &back), 0);
    ASSERT_EQ(back.count, 2);
    std::vector<std::string> got;
    for (int32_t i = 0; i < back.count; i++) {
        const auto *t = static_cast<const presence_transition *>(array_get(&back, i));
        got.push_back(std::string(t->plan->name, t->plan->name_len) + " " +
                      std::to_string(t->family == AF_INET6) + " " + std::to_string(t->to[3]) +
                      std::to_string(t->to[15]) + " " + std::to_string(t->steps));
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"home 0 70 2", "v6 1 1849 2"}));
    presence_transitions_clear(&back);
    array_free(&back);
    array_free(&pending);
}

} // namespace
