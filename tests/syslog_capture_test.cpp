// The scenario harness itself: records sent through the C library's syslog
// by another process arrive whole, with priority, ident and pid.
#include "tests/support/scenario.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

TEST(SyslogCapture, ReadsRecordsOfAChildProcess) {
    SyslogCapture cap;
    std::string why;
    if (!cap.start(&why))
        GTEST_SKIP() << "cannot capture syslog here: " << why;
    pid_t pid = fork();
    if (pid == 0) {
        openlog("zorvel-probe", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        syslog(LOG_WARNING, "Unkown signal \"%s\"\n", "15x");
        closelog();
        _exit(0);
    }
    auto e = cap.wait_for("Unkown signal", 5s);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->ident, "zorvel-probe");
    EXPECT_EQ(e->pid, pid);
    EXPECT_EQ(e->priority, LOG_WARNING);
    EXPECT_EQ(e->facility, LOG_DAEMON);
    EXPECT_EQ(e->text, "Unkown signal \"15x\"\n");
    int st;
    waitpid(pid, &st, 0);
}

TEST(SyslogCapture, ParsesTheLibraryFormat) {
    auto e = parse_syslog("<27>Dec 10 04:22:15 zorvel-server[42]: HMAC mismatch\n");
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->priority, LOG_ERR);
    EXPECT_EQ(e->facility, LOG_DAEMON);
    EXPECT_EQ(e->ident, "zorvel-server");
    EXPECT_EQ(e->pid, 42);
    EXPECT_EQ(e->text, "HMAC mismatch\n");
}

} // namespace
