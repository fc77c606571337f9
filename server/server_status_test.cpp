#include "server/server_status.h"

#include "tests/support/log_capture.h"
#include "tests/support/scenario.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 2026-12-11 12:00:00 UTC.
constexpr time_t NOW = 1796990400;

struct StatusTest : ::testing::Test {
    TempDir dir;
    std::string state = dir.file("presence");
    LogCapture cap;

    // The view of the configuration text, and its result.
    std::pair<int, std::string> view(const std::string &conf) {
        std::string path = dir.write("server.conf", conf);
        FILE *out = tmpfile();
        EXPECT_NE(out, nullptr);
        int rc = server_status_print(path.c_str(), out, NOW);
        std::string text;
        rewind(out);
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;)
            text.append(buf, n);
        fclose(out);
        return {rc, text};
    }
};

const std::string update = "(dns-update (server 127.0.0.1 5353) (zone example.test) "
                           "(key upd.key hmac-sha256 |em9ydmVs|))";

TEST_F(StatusTest, ShowsEachPresenceItsTimeoutAndPendingWorkThenTheCounts) {
    const std::string conf =
        "(listen 8745) (state " + state +
        ")\n"
        "(account (name home) (key k) (timeout 900) (effector (zone " +
        dir.file("zone") + ") " + update +
        " (dns-update (server 127.0.0.2 53) (zone example.test) (owner gw.example.test) "
        "(key upd.key hmac-sha256 |em9ydmVs|))))\n"
        "(account (name laptop) (key k) (effector (zone /zones/example.test)))\n"
        "(account (name office) (key k) (timeout 60))\n"
        "(account (name \"a b\") (key k))\n";
    // home: up in both families, its second update pending for IPv4, its
    // IPv6 presence past its timeout; office: a retry mask of an older file
    // for forms it no longer has; laptop: down, its zone change still to
    // write; ghost: no such account.
    write_file(state, "(up home 192.0.2.1 " + std::to_string(NOW - 312) + " 1)\n" +
                          "(pending home 192.0.2.1 4)\n(pending laptop \"::\" 1)\n" +
                          "(up home \"2001:db8::1\" " + std::to_string(NOW - 90000) + ")\n" +
                          "(up office 192.0.2.2 " + std::to_string(NOW - 120) + " 5 (retry 1))\n" +
                          "(up #612062# 198.51.100.7 " + std::to_string(NOW - 45) + ")\n" +
                          "(up ghost 192.0.2.9 " + std::to_string(NOW + 30) + ")\n");
    auto [rc, text] = view(conf);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(text,
              "#612062# IPv4 198.51.100.7, seen 2026-12-11 11:59:15 UTC (45s ago), no timeout\n"
              "home IPv4 192.0.2.1, seen 2026-12-11 11:54:48 UTC (5m12s ago), "
              "times out 2026-12-11 12:09:48 UTC (in 9m48s), "
              "pending: dns-update of gw.example.test A by 127.0.0.2 port 53\n"
              "home IPv6 2001:db8::1, seen 2026-12-10 11:00:00 UTC (1d01h ago), "
              "timed out 2026-12-10 11:15:00 UTC (1d00h ago)\n"
              "laptop IPv6 down, pending: zone /zones/example.test\n"
              "office IPv4 192.0.2.2, seen 2026-12-11 11:58:00 UTC (2m00s ago), "
              "timed out 2026-12-11 11:59:00 UTC (1m00s ago), "
              "pending: dns-update forms the configuration no longer has\n"
              "ghost IPv4 192.0.2.9, seen 2026-12-11 12:00:30 UTC (in 30s), no such account\n"
              "3 up, 1 down\n");
    EXPECT_TRUE(cap.records().empty());
    // Nothing was written or restored: the file is as it was.
    EXPECT_NE(read_file(state).find("(retry 1)"), std::string::npos);
}

TEST_F(StatusTest, WithoutStateFileEveryoneIsDownAndFaultsAreRefused) {
    const std::string accounts = "(account (name b) (key k)) (account (name a) (key k))\n";
    // Named but not written yet: nobody is up.
    auto [rc, text] = view("(state " + state + ")\n" + accounts);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(text, "a down\nb down\n0 up, 2 down\n");

    std::tie(rc, text) = view(accounts);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(text, "");

    write_file(state, "(up a 192.0.2.1 10)\n(up b nowhere 10)\n");
    std::tie(rc, text) = view("(state " + state + ")\n" + accounts);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_ERR, "Malformed state file \"" + state + "\", presence not restored\n"}}));

    // Files read as the server reads them: a FIFO in the state file's place
    // is refused at once rather than waited on, and a configuration cut
    // short inside a form is not shown as far as it goes.
    cap.clear();
    ASSERT_EQ(unlink(state.c_str()), 0);
    ASSERT_EQ(mkfifo(state.c_str(), 0600), 0);
    std::tie(rc, text) = view("(state " + state + ")\n" + accounts);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(cap.records(),
              (std::vector<log_record>{
                  {LOG_ERR, "State file \"" + state +
                                "\" is not a regular file, presence not restored\n"}}));
    std::tie(rc, text) =
        view("(state " + dir.file("other") + ")\n" + accounts + "(account (name c");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(text, "");
}

} // namespace
