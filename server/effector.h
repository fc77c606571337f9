// Effectors: what the server does when an account's presence changes.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>
#include <cstdint>

// Runs every form of the list (first node, null for none) in order and in
// place, waiting for each: kill, system, zone and dns-update, for the
// presence of family that changed: AF_INET6 with 16 address bytes, any other
// family as IPv4 with 4. Failures are only logged; one never stops the next.
// It blocks, so the server never calls it: its loop hands changes to the
// engine. For tests and tools that run a list once.
void effector_run(const sx_node *list, const char *name, size_t name_len, int family,
                  const uint8_t *addr);
// Signals the process whose PID stands in pidfile; signame null means SIGHUP.
// A PID file without leading digits, holding 0, or holding a value beyond
// the range of pid_t is reported as invalid and nothing is signalled.
void effector_kill(const char *signame, const char *pidfile);
// The signal for a table name (any case, with or without "SIG") or a string
// of digits up to INT_MAX, 0 for an empty name, SIGHUP for null; -1 for
// anything else.
int signal_from_name(const char *name);
// The command the template that starts at args spells for the account, in
// a heap string the caller frees; null when there is nothing to run (no
// template, no name) or after logging that it cannot be built.
char *effector_command(const sx_node *args, const char *name, size_t name_len, int family,
                       const uint8_t *addr);
// Runs one kill form's arguments, the targets in the order of the form.
void effector_kill_form(const sx_node *args);
// Builds a command from the template that starts at args and runs it:
// (name) gives the account's name, (addr) the address as text of its family,
// (type) the record type of the family, A or AAAA.
void effector_system(const sx_node *args, const char *name, size_t name_len, int family,
                     const uint8_t *addr);
