// Address sensors: shell commands whose first output line is the address
// the client announces.
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
