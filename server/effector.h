// Effectors: what the server does when an account's presence changes.
#pragma once

#include "common/csexp/sx_tree.h"

#include <cstddef>
#include <cstdint>

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
