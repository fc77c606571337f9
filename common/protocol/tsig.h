// TSIG (RFC 8945): signing a DNS message and verifying the answer with a
// shared key, HMAC-SHA256, HMAC-SHA384, HMAC-SHA512 or HMAC-SHA1.
//
// Pure functions over bytes and a time value; the key's secret is only ever
// fed to the MAC.
#pragma once

#include "common/protocol/dns_msg.h"

#include <cstddef>
#include <cstdint>

enum class tsig_alg { hmac_sha256, hmac_sha1, hmac_sha384, hmac_sha512 };

inline constexpr size_t TSIG_MAC_MAX = 64;
// How far apart the signer's and the verifier's clocks may be, in seconds.
inline constexpr uint16_t TSIG_FUDGE = 300;

inline constexpr uint16_t TSIG_BADSIG = 16;
inline constexpr uint16_t TSIG_BADKEY = 17;
inline constexpr uint16_t TSIG_BADTIME = 18;

struct tsig_key {
    dns_name name; // as configured; sent lower-cased, compared without regard to case
    tsig_alg alg;
    const uint8_t *secret; // not owned
    size_t secret_len;
};

// The algorithm of its name, "hmac-sha256", "hmac-sha384", "hmac-sha512"
// or "hmac-sha1", in lower case, with or without the final dot that name
// servers' tools print. False for any other.
bool tsig_alg_from_text(const char *text, tsig_alg *alg);
// True for a name of HMAC-MD5 ("hmac-md5", "hmac-md5.sig-alg.reg.int", with
// or without a final dot), which RFC 8945 says must not be used: a
// configuration that names it is refused with that reason.
bool tsig_alg_is_md5(const char *text);
// The algorithm's name for logs.
const char *tsig_alg_text(tsig_alg alg);
// The MAC's length: 32, 48, 64 or 20.
size_t tsig_mac_len(tsig_alg alg);

// Signs the message buf[0..len) (cap bytes of room): appends a TSIG record
// with Time Signed now, Fudge 300 and the given error, and counts it in the
// header. With req_mac null the message is a request; otherwise it answers
// the request whose MAC req_mac is (req_mac_len bytes), and that MAC is
// covered too. The key's name goes out in lower case, the form the MAC
// covers. The new MAC is also written to mac (TSIG_MAC_MAX bytes of room)
// so the answer to a request can be checked against it. Returns the new
// length, or 0 when the record does not fit or the input is not a message
// (buf is then unchanged).
size_t tsig_sign(uint8_t *buf, size_t len, size_t cap, const tsig_key *key, uint64_t now,
                 const uint8_t *req_mac, size_t req_mac_len, uint16_t error, uint8_t *mac);

enum class tsig_verdict {
    valid,          // signed with the key, in time, covering the request's MAC
    unsigned_error, // no MAC, as a name server answers BADKEY and BADSIG
    invalid,        // no TSIG, another key or algorithm, a bad MAC or time
};

// Judges the TSIG of msg[0..len), already parsed into ans, as the answer to
// a request whose MAC is req_mac (req_mac_len bytes; null for a request
// judged on its own). *error receives the record's error field whenever the
// record could be read (0 otherwise).
tsig_verdict tsig_verify(const uint8_t *msg, size_t len, const dns_msg_answer *ans,
                         const tsig_key *key, uint64_t now, const uint8_t *req_mac,
                         size_t req_mac_len, uint16_t *error);

// The mnemonic of a TSIG error ("BADSIG", "BADKEY", "BADTIME", ...), or null.
const char *tsig_error_name(uint16_t error);
