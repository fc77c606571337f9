// Address sensors: shell commands whose first output line is the address
// the client announces, a dotted quad or, for the IPv6 sensors, an IPv6
// address; or an interface, whose own address is announced (iface.h).
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>
#include <cstdint>

// Tries the sensors from first on, in order, and stores the address of the
// first one that yields one into addr (network order). 0 on success; -1 when
// none did (first may be null), and addr is then 0.0.0.0. Every failing
// sensor is logged and the next one tried.
int sensor_get_address(uint8_t addr[4], const sx_node *first);

// Reads a dotted quad ended by a line feed or carriage return from the
// first len bytes of bytes. Groups are taken modulo 256 and an empty group
// is 0. 0 and the address in addr on success; -1 otherwise, addr unchanged.
int sensor_parse_quad(uint8_t addr[4], const char *bytes, size_t len);

// The IPv6 sensors: as sensor_get_address, with a read of up to 64 bytes
// whose first line must be an IPv6 address and nothing else. addr is :: when
// none yields one.
int sensor_get_address6(uint8_t addr[16], const sx_node *first);
// Reads an IPv6 address ended by a line feed or carriage return from the
// first len bytes of bytes (any text form address_parse6 takes; no blanks).
// 0 and the address in addr on success; -1 otherwise, addr unchanged.
int sensor_parse_line6(uint8_t addr[16], const char *bytes, size_t len);
