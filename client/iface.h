// Interface addresses: the address an (interface NAME) sensor announces,
// read from the system's own interface list, with no shell in between.
#pragma once

#include <cstddef>
#include <cstdint>

// What the system says of an IPv6 address, as far as the choice needs it.
inline constexpr uint32_t IFACE_TEMPORARY = 0x01;  // a privacy address
inline constexpr uint32_t IFACE_DEPRECATED = 0x02; // its preferred lifetime is over
inline constexpr uint32_t IFACE_TENTATIVE = 0x04;  // duplicate detection not yet done
inline constexpr uint32_t IFACE_DUPLICATED = 0x08; // duplicate detection failed
inline constexpr uint32_t IFACE_DETACHED = 0x10;   // its prefix is no longer advertised
inline constexpr uint32_t IFACE_ANYCAST = 0x20;    // not an address of this host alone
// The flags could not be learnt: nothing says the address is not temporary.
inline constexpr uint32_t IFACE_UNKNOWN = 0x80000000;

// Whether addr (network order) may be announced: not 0.0.0.0, not loopback
// (127/8), not link-local (169.254/16).
bool iface_usable4(const uint8_t addr[4]);
// Whether addr may be announced: a unicast address of global scope (not
// ::, ::1, link-local fe80::/10, site-local fec0::/10, multicast, or an
// IPv4-mapped one), a unique local address (fc00::/7) only when ula is
// set, and none of the flags above.
bool iface_usable6(const uint8_t addr[16], uint32_t flags, bool ula);

// Whether the system has an interface of this name now.
bool iface_exists(const char *ifname);

// The first usable IPv4 (IPv6) address of the interface, in the order the
// system lists them, into addr. 0 on success; -1 after logging when there
// is no such interface, no usable address on it, or its addresses (or, for
// IPv6, their flags) cannot be read. addr is left unchanged on failure.
int iface_address4(uint8_t addr[4], const char *ifname);
int iface_address6(uint8_t addr[16], const char *ifname, bool ula);
