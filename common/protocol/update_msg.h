// The update datagram: time digits, NUL, name, NUL, 4 address bytes, NUL,
// 20-byte HMAC-SHA1 of everything before it, then the tag "sha-1". The IPv6
// datagram is the same with 16 address bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Largest datagram either side builds or receives.
inline constexpr size_t UPDATE_MSG_MAX = 1024;

struct update_msg {
    time_t time;      // seconds since the epoch
    const char *name; // not NUL-terminated; on decoding points into the datagram
    size_t name_len;
    uint8_t addr[4]; // network order
    uint8_t mac[20];
    // AF_INET6 for the IPv6 datagram, whose address is addr6. The encoder
    // takes any other value, 0 of a zeroed record included, as IPv4; the
    // decoder writes AF_INET or AF_INET6 and zeroes the other address.
    int family;
    uint8_t addr6[16]; // network order
};

// Writes the datagram for msg into buf and the MAC into msg->mac. Returns its
// length (digits + name_len + 32, or + 44 for IPv6), or 0 after logging when
// it does not fit.
size_t update_msg_encode(uint8_t *buf, size_t size, update_msg *msg, const void *key,
                         size_t key_len);
// Parses len bytes of buf into msg without checking the MAC; msg->name points
// into buf. Returns the length of the authenticated prefix (which is also the
// offset of the MAC), or 0 for a malformed datagram, logged except for bytes
// after the tag. The datagram is IPv6 exactly when 42 bytes follow the
// name's NUL, the 17th of them a NUL and the last five the tag; every other
// one is judged as IPv4. Never reads outside buf[0..len).
size_t update_msg_decode(update_msg *msg, const uint8_t *buf, size_t len);
