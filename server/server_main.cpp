// zorvel-server: keeps DNS address records of dynamic hosts up to date from
// authenticated update datagrams.
#include "common/process/array.h"
#include "common/process/clock.h"
#include "common/process/log.h"
#include "common/process/pidfile.h"
#include "common/process/proc.h"
#include "server/presence.h"
#include "server/server_check.h"
#include "server/server_config.h"
#include "server/server_loop.h"
#include "server/server_status.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace {

// The exits with status 1 leave the log open and the PID file in place; the
// memory is handed back only so that leak checkers see a clean exit.
int start_failed(server_config *cfg, array *slots) {
    server_config_release(cfg);
    array_free(slots);
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    server_config cfg = {};
    array slots;
    array_init(&slots, sizeof(recv_slot));
    array_init(&cfg.accounts, sizeof(account));
    array_init(&cfg.pollfds, sizeof(pollfd));
    array_init(&cfg.transitions, sizeof(presence_transition));
    proc_options opt;

    log_open("zorvel-server");
    // Until the loop runs, every record is also shown to whoever started
    // the server: a start that fails says why where it was made.
    log_set_stderr(true);
    if (proc_parse_options(&opt, argc, argv, true) < 0)
        return 1;
    // Root and user change before anything is opened: the configuration,
    // the PID file and every file an effector touches are then named inside
    // the new root, and the sockets are bound without root's rights. A
    // server told to drop root that cannot must not run as root.
    if (proc_drop_privileges(opt.root, opt.user) < 0)
        return 1;
    if (opt.conffile == nullptr) {
        log_no_config_file();
        log_usage(argv[0]);
        return 1;
    }
    // The check sees the files as the running server would: from inside the
    // new root, with the new user's rights.
    if (opt.check) {
        int rc = server_check_file(opt.conffile) == 0 ? 0 : 1;
        start_failed(&cfg, &slots);
        return rc;
    }
    // Read like the check, from where the running server reads its state.
    if (opt.status) {
        int rc = server_status_print(opt.conffile, stdout, clock_now()) == 0 ? 0 : 1;
        start_failed(&cfg, &slots);
        return rc;
    }
    cfg.path = opt.conffile;
    cfg.mtime = 0;
    server_config_load(&cfg);
    // Said while the caller still sees standard error, as -n says it.
    if (cfg.accounts.count > 0)
        server_check_key_access(cfg.path, false);
    if (cfg.pollfds.count == 0) {
        log_bad_starting_config();
        return start_failed(&cfg, &slots);
    }
    if (opt.detach && proc_daemonize() < 0)
        return start_failed(&cfg, &slots);
    // After detaching, so the file names the process that goes on running.
    if (opt.pidfile != nullptr && pidfile_create(opt.pidfile) < 0)
        return start_failed(&cfg, &slots);
    sigset_t wait_mask;
    server_signals_install(&wait_mask);
    // Only now does the caller of a detached start learn that it worked.
    if (proc_daemon_ready() < 0)
        return start_failed(&cfg, &slots);
    log_set_stderr(false);

    server_loop_run(&cfg, &slots, &wait_mask);

    server_config_release(&cfg);
    array_free(&slots);
    if (opt.pidfile != nullptr)
        unlink(opt.pidfile);
    log_server_exiting();
    log_close();
    return 0;
}
