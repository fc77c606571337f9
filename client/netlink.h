// The route netlink messages the client reads: address records, from a dump
// of the interface addresses or from the change notices. The parser is
// plain code over bytes with the wire layout written out here, so it builds
// and is fuzzed on every system; only the sockets need Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// Message types and flags as the kernel's route netlink defines them.
inline constexpr uint16_t NETLINK_MSG_ERROR = 2;
inline constexpr uint16_t NETLINK_MSG_DONE = 3;
inline constexpr uint16_t NETLINK_NEWADDR = 20;
inline constexpr uint16_t NETLINK_DELADDR = 21;
inline constexpr uint16_t NETLINK_GETADDR = 22;

// Address flags (IFA_F_*) the sensor judges an IPv6 address by.
inline constexpr uint32_t NETLINK_ADDR_TEMPORARY = 0x01;
inline constexpr uint32_t NETLINK_ADDR_OPTIMISTIC = 0x04;
inline constexpr uint32_t NETLINK_ADDR_DADFAILED = 0x08;
inline constexpr uint32_t NETLINK_ADDR_DEPRECATED = 0x20;
inline constexpr uint32_t NETLINK_ADDR_TENTATIVE = 0x40;

// One address record (RTM_NEWADDR or RTM_DELADDR).
struct netlink_addr {
    uint16_t type;  // NETLINK_NEWADDR or NETLINK_DELADDR
    uint8_t family; // AF_INET, AF_INET6 or another the caller passes over
    uint8_t prefix_len;
    uint32_t flags; // the 32-bit IFA_FLAGS where given, else the 8-bit field
    uint32_t ifindex;
    uint8_t addr[16]; // IFA_LOCAL, else IFA_ADDRESS; addr_len bytes of it
    uint8_t addr_len; // 0 when the record carries no address
};

// Called for every address record, in the order of the buffer.
using netlink_visit = void (*)(const netlink_addr *rec, void *ctx);

// Walks the netlink messages in buf[0..len). Every message header, record
// and attribute is checked against what remains before it is read, and an
// address attribute longer than 16 bytes counts as none. Returns 1 when a
// DONE message ends the walk, 0 at the end of the buffer, -1 for a
// malformed message or an ERROR message with a non-zero code (whose value,
// negated to an errno, goes to *err when err is not null); the records seen
// before a failure have been visited.
int netlink_parse(const uint8_t *buf, size_t len, netlink_visit visit, void *ctx, int *err);

// Writes the request for a dump of every address of family (AF_UNSPEC for
// all) into buf; its length, or 0 when buf is too small.
size_t netlink_dump_request(uint8_t *buf, size_t size, uint8_t family, uint32_t seq);

// The route netlink socket, where the system has one. Each returns -1 with
// errno set (ENOSYS where there is none), and logs nothing.
//
// A socket that receives the notices of IPv4 and IPv6 addresses added and
// removed; non-blocking.
int netlink_open_watch();
// Dumps the addresses of family and visits each record. 0, or -1.
int netlink_dump(uint8_t family, netlink_visit visit, void *ctx);
