#include "common/process/log.h"
#include "tests/support/log_capture.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netdb.h>
#include <string>
#include <sys/socket.h>

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
        {LOG_ERR, "Account \"ho\\x00me\" not found.\n"},
        {LOG_INFO, "Message at 987 (-2.5)"},
        {LOG_ERR,
         std::string("Address lookup of *:5353 failed: ") + gai_strerror(EAI_NONAME) + "\n"},
    };
    EXPECT_EQ(cap.records(), want);
}

// The IPv6 records: the IPv4 texts with RFC 5952 addresses; a mismatch
// names each address in its own family's text.
TEST(Log, IPv6RecordsCarryTheCanonicalText) {
    LogCapture cap;
    const uint8_t a[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 7};
    const uint8_t b[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    const uint8_t none[16] = {};
    const uint8_t v4[4] = {192, 0, 2, 7};
    log_account_up6("home", 4, a);
    log_account_changed6("home", 4, a, b);
    log_account_timeout6("home", 4, b);
    log_address_mismatch_af(AF_INET6, a, AF_INET6, b);
    log_address_mismatch_af(AF_INET, v4, AF_INET6, none);
    log_address_mismatch_af(AF_INET6, a, AF_INET, v4);
    log_address_mismatch_af(AF_INET, v4, AF_INET, v4);
    log_dump_from_at6(a, 987, 1.5);
    log_dump_from6(a);
    log_dump_name_address6("home", 4, none);
    log_dump_address6(b);
    log_zone_updating6("db.example", "home", 4, a);
    std::vector<log_record> want = {
        {LOG_INFO, "Account home up (2001:db8::1:0:0:7)\n"},
        {LOG_INFO, "Accound home changed address from 2001:db8::1:0:0:7 to 2001:db8::10\n"},
        {LOG_INFO, "Account home timeout (last seen at 2001:db8::10)\n"},
        {LOG_WARNING, "Address mismatch between peer 2001:db8::1:0:0:7 and message 2001:db8::10\n"},
        {LOG_WARNING, "Address mismatch between peer 192.0.2.7 and message ::\n"},
        {LOG_WARNING, "Address mismatch between peer 2001:db8::1:0:0:7 and message 192.0.2.7\n"},
        {LOG_WARNING, "Address mismatch between peer 192.0.2.7 and message 192.0.2.7\n"},
        {LOG_INFO, "Message from 2001:db8::1:0:0:7 at 987 (+1.5)"},
        {LOG_INFO, "Message from 2001:db8::1:0:0:7"},
        {LOG_INFO, "    name \"home\" address ::\n"},
        {LOG_INFO, " address 2001:db8::10\n"},
        {LOG_INFO, "Updating zone \"db.example\" record \"home\" to 2001:db8::1:0:0:7\n"},
    };
    EXPECT_EQ(cap.records(), want);
}

// Datagram bytes cannot end a record, forge another or reach a terminal as
// controls, and a long name is cut where the bound says.
TEST(Log, DatagramBytesShownEscapedAndBounded) {
    struct row {
        std::string in, want;
    };
    const row rows[] = {
        {"home-1.example", "home-1.example"},
        {"x\" not found.\nAccount home up (203.0.113.66)\n",
         "x\\\" not found.\\nAccount home up (203.0.113.66)\\n"},
        {"a\\b\r\t", "a\\\\b\\r\\t"},
        {std::string("\x1b[2J\a\0\x7f\xff", 8), "\\x1b[2J\\x07\\x00\\x7f\\xff"},
        {"", ""},
        {std::string(LOG_BYTES_SHOWN, 'n'), std::string(LOG_BYTES_SHOWN, 'n')},
        {std::string(LOG_BYTES_SHOWN + 1, 'n'), std::string(LOG_BYTES_SHOWN, 'n') + "..."},
    };
    for (const row &r : rows)
        EXPECT_EQ(log_bytes(r.in.data(), r.in.size()).s, r.want) << r.in;
    // The worst case fills the buffer to its last byte.
    std::string worst(LOG_BYTES_SHOWN + 1, '\x01');
    EXPECT_EQ(strlen(log_bytes(worst.data(), worst.size()).s), LOG_BYTES_SHOWN * 4 + 3);
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
