// Effector plans: an account's effector list read once, at load, into typed
// steps, so that running it parses nothing and the check reads it the same
// way the load does.
#pragma once

#include "common/csexp/sx_tree.h"
#include "server/dns_update.h"

#include <cstddef>
#include <cstdint>

enum class effector_kind : uint8_t {
    kill,        // args: the kill form's arguments
    system,      // args: the command template
    zone,        // args: the zone file paths
    dns_update,  // dns: the form read
    dns_invalid, // a dns-update form that does not read: logged at every run
    unknown,     // a keyword none of the above: logged at every run
};

struct effector_step {
    effector_kind kind;
    const sx_node *keyword; // into the plan's forms
    const sx_node *args;    // the form's arguments, null for none
    dns_update_conf *dns;   // dns_update only; owned by the plan
};

// Shared by the account it was built for and by every piece of work the
// engine holds for that account, so that work outlives a reload that drops
// the account. The engine and the loop run on one thread; refs is plain.
struct effector_plan {
    uint32_t refs;
    char *name; // the account's name, owned, not NUL-terminated
    size_t name_len;
    sx_block forms; // own copy of the effector list
    effector_step *steps;
    uint32_t nsteps;
};

// The bit of step i in a step mask: bit i, bit 63 for step 63 and every
// later one.
uint64_t effector_step_bit(uint32_t i);
inline constexpr uint64_t EFFECTOR_ALL_STEPS = ~uint64_t{0};

// The keyword of a form of an effector list, a bare atom or a list's first
// atom, with its arguments in *args (null for none); null for a node that is
// no form. Every walk of an effector list goes through it, so that their
// counts of forms agree.
const sx_node *effector_form_keyword(const sx_node *n, const sx_node **args);
// Reads one node of an effector list as every run takes it: false for a
// node that is no form (an empty list, a list beginning with a list).
// Otherwise out gets the kind, keyword and arguments. A dns-update form is
// read for the account name[0..name_len) into *dns when dns is given (out's
// kind dns_invalid and *why filled when it does not read); without dns it is
// only classified. The one reader of the forms: the load's plans and the
// configuration check both go through it.
bool effector_form_read(const sx_node *n, const char *name, size_t name_len, effector_step *out,
                        dns_update_conf *dns, dns_update_fault *why);
// Reads the effector list (first node, null for none) of the account
// name[0..name_len) into a plan holding one reference. Forms that are no
// forms (an empty list, a list beginning with a list) are left out. Null for
// a list without forms, or when memory runs out (logged).
effector_plan *effector_plan_build(const sx_node *list, const char *name, size_t name_len);
// Takes one more reference; null is ignored.
void effector_plan_hold(effector_plan *p);
// Gives one up, releasing the plan with the last; null is ignored.
void effector_plan_drop(effector_plan *p);
// The steps whose kind is dns_update, as a step mask.
uint64_t effector_plan_dns_steps(const effector_plan *p);
