// The refusal limiter: under a flood of datagrams refused alike, the first
// few records of each kind are written and the rest are counted and
// summarised, so that syslog keeps the records that matter and the receive
// loop does not spend its time writing records nobody can read.
//
// A kind is a refusal message together with its subject: the account the
// datagram names, once the judgement has found it, else the network the
// datagram came from (an IPv4 /24, an IPv6 /48). Of each kind the first
// LOG_LIMIT_BURST records are written as they are; later ones are counted
// until the kind has been quiet for LOG_LIMIT_PERIOD seconds, and the count
// is written as one summary record at most every LOG_LIMIT_PERIOD seconds.
// The table of kinds has a fixed size; when it is full, refusals of a new
// kind are counted under the shared kind of their message ("other
// senders"), so that a flood from many spoofed networks, of one message or
// of several in turn, cannot buy one written record per datagram.
//
// Only the refusal records of the log catalogue consult it; it allocates
// nothing and reads the time from clock_now().
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

inline constexpr uint32_t LOG_LIMIT_BURST = 5;
inline constexpr time_t LOG_LIMIT_PERIOD = 5;
inline constexpr size_t LOG_LIMIT_KINDS = 32;

// The refusal messages that are limited.
enum log_refusal : uint8_t {
    LOG_REFUSAL_INVALID_PACKET,
    LOG_REFUSAL_TOO_SHORT,
    LOG_REFUSAL_HMAC_DECODING,
    LOG_REFUSAL_ACCOUNT_NOT_FOUND,
    LOG_REFUSAL_HMAC_MISMATCH,
    LOG_REFUSAL_ADDRESS_MISMATCH,
    LOG_REFUSAL_UNSAFE,
    LOG_REFUSAL_ANACHRONIC,
    LOG_REFUSAL_REPLAYED,
};
inline constexpr size_t LOG_REFUSAL_MESSAGES = LOG_REFUSAL_REPLAYED + 1;

// Starts the judgement of one datagram from addr (4 bytes for AF_INET, 16
// for AF_INET6; any other family or a null addr counts as one unknown
// sender). Its refusals count under the sender's network until
// log_limit_account() names the account.
void log_limit_sender(int family, const uint8_t *addr);
// The account the datagram being judged names; its later refusals count
// under the account. The name is copied (up to 64 bytes; longer names are
// told apart by length and those bytes).
void log_limit_account(const char *name, size_t name_len);
// Whether the refusal record of the kind what and the current subject is to
// be written now; when not, it is counted.
bool log_limit_admit(log_refusal what);
// Whether a record that belongs to the last refusal (the dump of the refused
// message) is to be written: it shares that refusal's verdict, and is
// written when no refusal came since log_limit_sender().
bool log_limit_follows();
// Writes the summary of every kind whose count is LOG_LIMIT_PERIOD seconds
// old at now, and forgets kinds quiet for as long. Returns the milliseconds
// until the next summary is due, or -1 when nothing is counted.
int32_t log_limit_flush(time_t now);
// Forgets every kind and count, unwritten counts included (tests).
void log_limit_reset();
