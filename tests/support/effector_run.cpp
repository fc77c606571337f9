// Effector lists run in place.
#include "tests/support/effector_run.h"

#include "tests/support/dns_update_run.h"

#include "common/process/log.h"
#include "server/dns_update.h"
#include "server/effector.h"
#include "server/effector_plan.h"
#include "server/zone.h"

#include <csignal>
#include <cstdlib>
#include <memory>
#include <sys/socket.h>

namespace {

struct free_delete {
    void operator()(void *p) const { free(p); }
};

} // namespace

void effector_system(const sx_node *args, const char *name, size_t name_len, int family,
                     const uint8_t *addr) {
    std::unique_ptr<char, free_delete> cmd(effector_command(args, name, name_len, family, addr));
    if (!cmd)
        return;
    // The server holds SIGTERM and SIGHUP blocked outside its wait, and a
    // command inherits the signal mask: a daemon restarted from here would
    // ignore them for good. Either signal meanwhile only sets its flag.
    sigset_t term, held;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGHUP);
    sigprocmask(SIG_UNBLOCK, &term, &held);
    int status = system(cmd.get());
    sigprocmask(SIG_SETMASK, &held, nullptr);
    if (status < 0)
        log_system_fail(cmd.get());
    else if (status != 0)
        log_system_failure(cmd.get(), status);
}

void effector_run(const sx_node *list, const char *name, size_t name_len, int family,
                  const uint8_t *addr) {
    for (const sx_node *n = list; n != nullptr; n = n->next) {
        const sx_node *args = nullptr;
        const sx_node *kw = effector_form_keyword(n, &args);
        if (kw == nullptr)
            continue;
        if (sx_atom_is(kw, "kill")) {
            effector_kill_form(args);
        } else if (sx_atom_is(kw, "system")) {
            effector_system(args, name, name_len, family, addr);
        } else if (sx_atom_is(kw, "zone")) {
            effector_zone(args, name, name_len, family, addr);
        } else if (sx_atom_is(kw, "dns-update")) {
            dns_update_conf c;
            if (dns_update_parse(args, name, name_len, &c))
                dns_update_run(&c, name, name_len, family == AF_INET6 ? DNS_TYPE_AAAA : DNS_TYPE_A,
                               addr);
        } else {
            log_unknown_effector(sx_text(kw));
        }
    }
}

void effector_zone(const sx_node *args, const char *name, size_t name_len, int family,
                   const uint8_t *addr) {
    if (name == nullptr || name_len == 0 || addr == nullptr)
        return;
    for (const sx_node *n = args; n != nullptr; n = n->next)
        if (const char *path = zone_path_of(n, name, name_len, family, addr))
            zone_update(path, name, name_len, family, addr);
}
