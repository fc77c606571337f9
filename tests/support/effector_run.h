// Effector lists run in place, each form waited for: for tests and
// benchmarks that run a list once. The server has no such path: its loop
// hands every change to the effector engine, which waits on nothing.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>
#include <cstdint>

// Runs every form of the list (first node, null for none) in order: kill,
// system, zone and dns-update, for the presence of family that changed:
// AF_INET6 with 16 address bytes, any other family as IPv4 with 4. Failures
// are only logged; one never stops the next.
void effector_run(const sx_node *list, const char *name, size_t name_len, int family,
                  const uint8_t *addr);
// Runs zone_update for every file the zone form's arguments name. An empty
// or null name, or a null address, updates nothing.
void effector_zone(const sx_node *args, const char *name, size_t name_len, int family,
                   const uint8_t *addr);
// Builds a command from the template that starts at args and runs it with
// system(): (name) gives the account's name, (addr) the address as text of
// its family, (type) the record type of the family, A or AAAA.
void effector_system(const sx_node *args, const char *name, size_t name_len, int family,
                     const uint8_t *addr);
