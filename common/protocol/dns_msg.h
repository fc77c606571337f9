// DNS messages: domain names in text and wire form, the building of a
// dynamic update (RFC 2136) and the parsing of the answer.
//
// Pure functions over bytes. Parsers take the message and its length and
// never look past it; on failure their outputs hold nothing of use.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t DNS_NAME_MAX = 255;
inline constexpr size_t DNS_LABEL_MAX = 63;
inline constexpr size_t DNS_HEADER_LEN = 12;

inline constexpr uint16_t DNS_TYPE_A = 1;
inline constexpr uint16_t DNS_TYPE_SOA = 6;
inline constexpr uint16_t DNS_TYPE_AAAA = 28;
inline constexpr uint16_t DNS_TYPE_TSIG = 250;
inline constexpr uint16_t DNS_CLASS_IN = 1;
inline constexpr uint16_t DNS_CLASS_ANY = 255;

inline constexpr unsigned DNS_OPCODE_UPDATE = 5;
inline constexpr uint16_t DNS_FLAG_QR = 0x8000;
inline constexpr uint16_t DNS_FLAG_TC = 0x0200;

// A name in uncompressed wire form: length-prefixed labels ending with the
// empty root label, len bytes in all (1 for the root).
struct dns_name {
    uint8_t wire[DNS_NAME_MAX];
    size_t len;
};

// Reads the presentation form text[0..len): labels separated by dots, an
// optional final dot, "\X" for a literal X and "\DDD" for a byte of decimal
// value DDD (at most 255). Labels of 1..63 bytes, the name at most 255 bytes
// in wire form; "." alone is the root. True on success; false for an empty
// text or label, an overlong label or name, or a bad escape, and out is then
// left as it was.
bool dns_msg_name_from_text(dns_name *out, const char *text, size_t len);

// Writes the presentation form of name to buf (cap bytes) with a NUL and no
// final dot (the root is "."): dots and backslashes inside labels are
// escaped with a backslash, bytes outside printable ASCII as "\DDD". Returns
// the length without the NUL, or 0 when it does not fit (buf then holds "").
size_t dns_msg_name_to_text(const dns_name *name, char *buf, size_t cap);

// True when name is zone or lies below it, ASCII letters compared without
// regard to case.
bool dns_msg_name_within(const dns_name *name, const dns_name *zone);
// True when a and b are the same name, ASCII case aside.
bool dns_msg_name_equal(const dns_name *a, const dns_name *b);
// Turns ASCII upper-case letters to lower case: the canonical form that
// MACs are computed over.
void dns_msg_name_lower(dns_name *name);

// Reads the name that starts at msg[off], following compression pointers,
// each of which must lead before the bytes read so far. On success fills out and sets *next
// to the offset just after the name's bytes at off. False for a name that
// runs past len, a label type other than plain or pointer, a pointer loop,
// or a name longer than 255 bytes.
bool dns_msg_read_name(const uint8_t *msg, size_t len, size_t off, dns_name *out, size_t *next);

// One dynamic update of one owner's RRset of one type (A or AAAA) in one
// zone, without prerequisites: the RRset is deleted and, when addr is not
// null, one record OWNER TTL IN TYPE ADDR is added.
struct dns_msg_update {
    uint16_t id;
    const dns_name *zone;
    const dns_name *owner;
    uint16_t type;       // DNS_TYPE_A or DNS_TYPE_AAAA
    uint32_t ttl;        // of the added record
    const uint8_t *addr; // 4 bytes for A, 16 for AAAA; null: delete only
};

// Writes the update message to out (cap bytes). Returns its length, or 0
// when it does not fit or a field is missing or of another type.
size_t dns_msg_build_update(uint8_t *out, size_t cap, const dns_msg_update *u);

// What an answer holds that the exchange judges.
struct dns_msg_answer {
    uint16_t id;
    uint16_t flags;    // QR, opcode, AA, TC, RD, RA, Z, RCODE as on the wire
    size_t tsig_at;    // offset of the TSIG record, 0 when there is none
    dns_name tsig_key; // the TSIG record's owner: the key's name
    size_t tsig_rdata; // offset of the TSIG record's data
    size_t tsig_rdlen; // and its length
};

// Parses the message msg[0..len): the header and every record of every
// section, so that what lies behind is known to be well formed. A TSIG
// record is taken only as the last record of the additional section, as the
// protocol wants it. False for a message cut short, bytes left over at the
// end, a malformed name, or a TSIG record in any other place.
bool dns_msg_parse(const uint8_t *msg, size_t len, dns_msg_answer *out);

inline unsigned dns_msg_rcode(const dns_msg_answer *a) {
    return a->flags & 0x000f;
}

// The mnemonic of an RCODE ("NOERROR", "REFUSED", ...), or null for a value
// without one.
const char *dns_msg_rcode_name(unsigned rcode);

// Big-endian stores and loads, shared with the TSIG code.
inline void dns_msg_put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline uint16_t dns_msg_get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
