#include "common/process/log_limit.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>

namespace {

constexpr time_t T0 = 1800000000; // 2027-01-15T08:00:00Z
const uint8_t NET_A1[4] = {192, 0, 2, 7};
const uint8_t NET_A2[4] = {192, 0, 2, 200};
const uint8_t NET_B[4] = {198, 51, 100, 1};

size_t count_of(const LogCapture &cap, const std::string &text) {
    size_t n = 0;
    for (const auto &r : cap.records())
        n += r.text == text;
    return n;
}

// One sender's junk: the burst is written, the rest counted, and one summary
// per period tells how many; a quiet period starts a new burst, and a count
// still unwritten then comes first.
TEST(LogLimit, BurstThenCountThenSummary) {
    LogCapture cap;
    FakeClock clock(T0);
    log_limit_sender(AF_INET, NET_A1);
    for (int i = 0; i < 100; i++)
        log_msg_invalid_packet();
    EXPECT_EQ(cap.records().size(), LOG_LIMIT_BURST);
    EXPECT_EQ(log_limit_flush(T0), LOG_LIMIT_PERIOD * 1000);
    clock.advance(LOG_LIMIT_PERIOD - 1);
    log_msg_invalid_packet();
    EXPECT_EQ(log_limit_flush(clock.now()), 1000);
    EXPECT_EQ(cap.records().size(), LOG_LIMIT_BURST);

    clock.advance(1);
    EXPECT_EQ(log_limit_flush(clock.now()), -1);
    ASSERT_EQ(cap.records().size(), LOG_LIMIT_BURST + 1);
    EXPECT_EQ(
        cap.records().back(),
        (log_record{LOG_WARNING, "96 more datagrams refused like this since "
                                 "2027-01-15T08:00:00Z: Invalid packet, from 192.0.2.0/24\n"}));

    // Still flooding: no new burst, a summary per period only.
    size_t before = cap.records().size();
    log_msg_invalid_packet();
    log_msg_invalid_packet();
    EXPECT_EQ(cap.records().size(), before);
    // Quiet for a period: the count is written before the next burst.
    clock.advance(LOG_LIMIT_PERIOD);
    log_msg_invalid_packet();
    ASSERT_EQ(cap.records().size(), before + 2);
    EXPECT_EQ(cap.records()[before].text,
              "2 more datagrams refused like this since "
              "2027-01-15T08:00:05Z: Invalid packet, from 192.0.2.0/24\n");
    EXPECT_EQ(cap.records()[before + 1].text, "Invalid packet\n");
}

// A kind is the message and its subject: the account once it is found, else
// the sender's network; dumps share the verdict of their refusal.
TEST(LogLimit, KindsAreMessageAndSubject) {
    LogCapture cap;
    FakeClock clock(T0);
    for (uint32_t i = 0; i < 2 * LOG_LIMIT_BURST; i++) {
        // Two hosts of one /24 are one sender; another network is its own.
        log_limit_sender(AF_INET, i % 2 == 0 ? NET_A1 : NET_A2);
        log_account_not_found("ghost", 5);
        log_limit_sender(AF_INET, NET_B);
        log_account_not_found("ghost", 5);
        log_limit_account("home", 4);
        log_hmac_mismatch();
        log_unsafe_message();
        log_dump_from(NET_B);
        log_dump_address(NET_B);
        log_limit_account("work", 4);
        log_hmac_mismatch();
    }
    EXPECT_EQ(count_of(cap, "Account \"ghost\" not found.\n"), 2 * LOG_LIMIT_BURST);
    EXPECT_EQ(count_of(cap, "HMAC mismatch\n"), 2 * LOG_LIMIT_BURST);
    EXPECT_EQ(count_of(cap, "Rejecting unsafe message\n"), LOG_LIMIT_BURST);
    EXPECT_EQ(count_of(cap, "Message from 198.51.100.1"), LOG_LIMIT_BURST);
    EXPECT_EQ(count_of(cap, " address 198.51.100.1\n"), LOG_LIMIT_BURST);

    cap.clear(); // forgets the counts too
    log_limit_sender(AF_INET, NET_B);
    log_limit_account("home", 4);
    for (uint32_t i = 0; i <= LOG_LIMIT_BURST; i++)
        log_hmac_mismatch();
    clock.advance(LOG_LIMIT_PERIOD);
    log_limit_flush(clock.now());
    EXPECT_EQ(cap.records().back().text, "1 more datagrams refused like this since "
                                         "2027-01-15T08:00:00Z: HMAC mismatch, account home\n");

    // An IPv6 sender counts under its /48; a name is shown escaped.
    cap.clear();
    const uint8_t six[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 9};
    log_limit_sender(AF_INET6, six);
    for (uint32_t i = 0; i <= LOG_LIMIT_BURST; i++)
        log_msg_too_short();
    log_limit_account("a\nb", 3);
    for (uint32_t i = 0; i <= LOG_LIMIT_BURST; i++)
        log_replayed_message(1, 2);
    clock.advance(LOG_LIMIT_PERIOD);
    log_limit_flush(clock.now());
    std::vector<std::string> texts = cap.texts();
    ASSERT_GE(texts.size(), 2U);
    std::vector<std::string> tail(texts.end() - 2, texts.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "1 more datagrams refused like this since 2027-01-15T08:00:05Z: Message "
                        "too short, from 2001:db8:1::/48\n",
                        "1 more datagrams refused like this since 2027-01-15T08:00:05Z: Replayed "
                        "message, account a\\nb\n"}));
}

// Senders from more networks than the table holds share one kind per
// message, so the records written stay bounded however many networks a
// flood spoofs, and however it takes turns between messages.
TEST(LogLimit, ManyNetworksShareOneKindWhenTheTableIsFull) {
    LogCapture cap;
    FakeClock clock(T0);
    for (int i = 0; i < 5000; i++) {
        const uint8_t addr[4] = {10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 1};
        log_limit_sender(AF_INET, addr);
        if (i % 2 == 0)
            log_msg_hmac_decoding_error();
        else
            log_msg_invalid_packet();
    }
    EXPECT_EQ(cap.records().size(), LOG_LIMIT_KINDS + 2 * LOG_LIMIT_BURST);
    clock.advance(LOG_LIMIT_PERIOD);
    log_limit_flush(clock.now());
    ASSERT_EQ(cap.records().size(), LOG_LIMIT_KINDS + 2 * LOG_LIMIT_BURST + 2);
    const size_t each = 2500 - LOG_LIMIT_KINDS / 2 - LOG_LIMIT_BURST;
    EXPECT_EQ(count_of(cap, std::to_string(each) +
                                " more datagrams refused like this since 2027-01-15T08:00:00Z: "
                                "HMAC decoding error, from other senders\n"),
              1u);
    EXPECT_EQ(count_of(cap, std::to_string(each) +
                                " more datagrams refused like this since 2027-01-15T08:00:00Z: "
                                "Invalid packet, from other senders\n"),
              1u);
}

} // namespace
