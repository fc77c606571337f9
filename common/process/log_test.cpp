#include "common/process/log.h"
#include "tests/support/log_capture.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>

namespace {

TEST(Log, SinkReceivesPriorityAndExactText) {
    LogCapture cap;
    const uint8_t peer[4] = {192, 0, 2, 7}, msg[4] = {10, 0, 0, 1};
    log_address_mismatch(peer, msg);
    log_account_changed("home", 4, msg, peer);
    log_account_not_found("ho\0me", 5);
    log_dump_at(987, -2.5);
    log_address_lookup_failed(nullptr, "5353", EAI_NONAME);
    std::vector<log_record> want = {
        {LOG_WARNING, "Address mismatch between peer 192.0.2.7 and message 10.0.0.1\n"},
        {LOG_INFO, "Accound home changed address from 10.0.0.1 to 192.0.2.7\n"},
        {LOG_ERR, "Account \"ho\" not found.\n"},
        {LOG_INFO, "Message at 987 (-2.5)"},
        {LOG_ERR,
         std::string("Address lookup of *:5353 failed: ") + gai_strerror(EAI_NONAME) + "\n"},
    };
    EXPECT_EQ(cap.records(), want);
}

TEST(Log, UsageGoesToStandardError) {
    testing::internal::CaptureStderr();
    log_usage("zorvel-server");
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "Usage: zorvel-server [-c conffile] [-d] [-p pidfile] [-t chrootdir] [-u username]\n");
}

TEST(Log, StderrEchoWhileOnEachRecordOnItsOwnLine) {
    LogCapture cap;
    testing::internal::CaptureStderr();
    log_set_stderr(true);
    log_stat_failed("/x", ENOENT);
    log_dump_at(987, -2.5); // a record without a trailing newline
    log_set_stderr(false);
    log_server_exiting();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("Unable to stat \"/x\": ") +
                                                          strerror(ENOENT) +
                                                          "\nMessage at 987 (-2.5)\n");
    EXPECT_EQ(cap.records().size(), 3u) << "the echo does not replace the record";
}

} // namespace
