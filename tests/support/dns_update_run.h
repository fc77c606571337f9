// A dns-update run in place, its answer waited for: for tests and
// benchmarks. The server's updates go through the effector engine, which
// looks names up on its worker thread and never waits for an answer.
#pragma once

#include "common/csexp/sx_tree.h"
#include "server/dns_update.h"

#include <cstddef>
#include <cstdint>

// Looks the primary up, sets the owner's RRset of type (DNS_TYPE_A with 4
// address bytes, DNS_TYPE_AAAA with 16) to the one address, or deletes it
// when the address is all zero, and waits for the answer. Logs the outcome
// for the account name[0..name_len).
dns_update_result dns_update_run(const dns_update_conf *c, const char *name, size_t name_len,
                                 uint16_t type, const uint8_t *addr);
// Reads the form and runs it; a form that does not read is logged and
// gives failed.
dns_update_result dns_update_effector(const sx_node *args, const char *name, size_t name_len,
                                      uint16_t type, const uint8_t *addr);
