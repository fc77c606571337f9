// Text forms of IPv4 and IPv6 addresses: the one place that turns address
// bytes into the text of log records, zone lines and commands, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Room for the longest text either family formats to, NUL included.
inline constexpr size_t ADDRESS_TEXT_MAX = 46;

// A formatted address, NUL-terminated; held by value so that formatting
// never allocates and cannot fail.
struct address_text {
    char s[ADDRESS_TEXT_MAX];
};

// "%u.%u.%u.%u" of 4 bytes in network order.
address_text address_format4(const uint8_t addr[4]);
// The RFC 5952 text of 16 bytes in network order: lowercase hex groups
// without leading zeros, the longest run of two or more zero groups (the
// first of equal runs) written "::", and an IPv4-mapped address as
// "::ffff:a.b.c.d".
address_text address_format6(const uint8_t addr[16]);
// By socket family: 4 bytes for AF_INET, 16 for AF_INET6; "?" for any
// other family.
address_text address_format(int family, const uint8_t *addr);

// Parses all of text as a dotted quad: four decimal numbers 0..255 without
// signs, blanks or leading zeros. 0 and the bytes in addr on success; -1
// otherwise, addr unchanged.
int address_parse4(uint8_t addr[4], std::string_view text);
// Parses all of text as an IPv6 address in any RFC 4291 text form: groups
// of one to four hex digits in either case, at most one "::" standing for
// one or more zero groups, and an optional dotted quad in place of the last
// two groups. No brackets, zone index or prefix length. 0 and the bytes in
// addr on success; -1 otherwise, addr unchanged.
int address_parse6(uint8_t addr[16], std::string_view text);
