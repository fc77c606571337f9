// The dns-update effector: one dynamic update (RFC 2136) per change of an
// account, signed with TSIG (RFC 8945), sent to the zone's primary.
//
//   (dns-update (server HOST PORT) (zone ZONE) (key NAME ALG SECRET)
//               (ttl 60) (owner NAME) (wait 1000))
//
// ALG is hmac-sha256, hmac-sha384, hmac-sha512 or hmac-sha1, with or
// without a final dot; SECRET is the key's bytes, normally written as a
// base64 atom, |...|. The effector engine runs the exchange
// (server/dns_exchange) without waiting on it, for at most `wait`
// milliseconds.
#pragma once

#include "common/csexp/sx_tree.h"
#include "common/protocol/dns_msg.h"
#include "common/protocol/tsig.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t DNS_UPDATE_DEFAULT_TTL = 60;
inline constexpr int DNS_UPDATE_DEFAULT_WAIT = 1000;
inline constexpr int DNS_UPDATE_MAX_WAIT = 60000;

// One form, read. Texts are NUL-terminated copies; the secret points into
// the form's atom, which must outlive the record.
struct dns_update_conf {
    char host[256];
    char port[32];
    dns_name zone;
    dns_name owner;
    char owner_text[DNS_NAME_MAX * 4 + 1]; // for logs
    tsig_key key;
    uint32_t ttl;
    int wait_ms;
};

// Why a form does not read. Never holds the key's secret.
struct dns_update_fault {
    // md5: the key's algorithm is HMAC-MD5, refused for its weakness
    enum kind_t { invalid, missing, outside_zone, md5 } kind;
    const sx_node *at; // the option that is wrong; null for a missing one or the default owner
    const char *what;  // the option, or the part of it, that is wrong or missing
    const char *zone;  // for outside_zone: the zone, as written
    char value[DNS_NAME_MAX * 4 + 2]; // the text that is wrong; for outside_zone, the owner
};

// Reads the arguments of a dns-update form (the nodes after the keyword) for
// the account name[0..name_len) without a word logged. Returns false with
// *why filled for the first fault; out then holds nothing of use. why->at
// and why->zone point into the form.
bool dns_update_read(const sx_node *args, const char *name, size_t name_len, dns_update_conf *out,
                     dns_update_fault *why);
// Reads the arguments of a dns-update form (the nodes after the keyword) for
// the account name[0..name_len). Every fault is logged, naming the account;
// returns false then, and out holds nothing of use.
bool dns_update_parse(const sx_node *args, const char *name, size_t name_len, dns_update_conf *out);

enum class dns_update_result {
    applied, // NOERROR in an authentic answer
    refused, // another RCODE or a TSIG error
    no_answer,
    failed, // before anything was sent: lookup, socket, message
};

// What one received message means for the update that waits for it.
// unsigned_error is an answer without a MAC: it cannot be told from a
// forgery, so it can only make the update fail, and only when no authentic
// answer comes within the wait.
struct dns_update_judgement {
    enum kind_t { ignore, truncated, answer, unsigned_error } kind;
    unsigned rcode;
    // The TSIG record's error; for unsigned_error 0 when the answer had no
    // TSIG record at all.
    uint16_t tsig_error;
};

// Judges msg[0..len) as the answer to the request with this id and MAC
// (pure: now is the clock's time for the TSIG window). Anything that is not
// an answer of this exchange, or carries a TSIG record that does not
// verify, is to be ignored. An answer with no TSIG record, whatever its
// RCODE, and one whose TSIG record has an error but no MAC (BADKEY, BADSIG)
// are unsigned errors. A truncated answer is taken on its ID alone, since it
// asks only for a retry over TCP, where the answer is judged again.
dns_update_judgement dns_update_judge(const uint8_t *msg, size_t len, uint16_t id,
                                      const tsig_key *key, const uint8_t *req_mac,
                                      size_t req_mac_len, uint64_t now);

struct dns_exchange;
// A message ID from the system's random source.
uint16_t dns_update_new_id();
// Logs the outcome of a finished exchange of this update and says what it
// was.
dns_update_result dns_update_report(const dns_update_conf *c, const char *name, size_t name_len,
                                    uint16_t type, const uint8_t *addr, const dns_exchange *x);
// Logs that the update is sent again after a failure.
void dns_update_log_retry(const dns_update_conf *c, const char *name, size_t name_len,
                          uint16_t type, const uint8_t *addr);
// Logs that the server's name could not be looked up (gai_code).
void dns_update_lookup_failed(const dns_update_conf *c, const char *name, size_t name_len,
                              uint16_t type, const uint8_t *addr, int gai_code);
