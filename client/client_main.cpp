// zorvel-client: announces this host's address to zorvel-server.
#include "client/client_check.h"
#include "client/client_config.h"
#include "client/client_loop.h"
#include "common/process/log.h"
#include "common/process/pidfile.h"
#include "common/process/proc.h"

#include <unistd.h>

namespace {

// The settings live as long as main; released on every way out of it.
struct config_owner {
    client_config cfg;
    config_owner() { client_config_init(&cfg); }
    ~config_owner() { client_config_free(&cfg); }
    config_owner(const config_owner &) = delete;
    config_owner &operator=(const config_owner &) = delete;
};

// The servers' sockets, closed on every way out of main.
struct slots_owner {
    client_slots s{};
    bool open = false;
    ~slots_owner() {
        if (open)
            client_slots_close(&s);
    }
};

} // namespace

int main(int argc, char **argv) {
    log_open("zorvel-client");
    // Until the loop runs, every record is also shown to whoever started
    // the client: a start that fails says why where it was made.
    log_set_stderr(true);
    proc_options opt;
    if (proc_parse_options(&opt, argc, argv) < 0)
        return 1;
    // Root and user change first, so the configuration, the PID file and the
    // sensor commands are all reached as the running daemon sees them. A
    // client that could not shed its privileges does not run with them.
    if (proc_drop_privileges(opt.root, opt.user) < 0)
        return 1;
    // Checked where the file is needed, as the server does: after the root
    // and user change, whose failure ends start-up first.
    if (opt.conffile == nullptr) {
        log_no_config_file();
        log_usage(argv[0]);
        return 1;
    }
    // The check sees the files as the running client would: from inside the
    // new root, with the new user's rights.
    if (opt.check)
        return client_check_file(opt.conffile) == 0 ? 0 : 1;
    config_owner conf;
    client_config &cfg = conf.cfg;
    if (client_config_read(&cfg, opt.conffile) < 0) {
        log_usage(argv[0]);
        return 1;
    }
    if (!client_config_complete(&cfg))
        return 1;
    // A one-message run stays in the foreground: it ends right away anyway.
    if (cfg.interval > 0 && opt.detach && proc_daemonize() < 0)
        return 1;
    // After detaching, so the file names the process that runs the loop.
    if (opt.pidfile != nullptr && pidfile_create(opt.pidfile) < 0)
        return 1;
    if (cfg.interval > 0 && (client_catch_sigterm() < 0 || client_catch_sighup() < 0))
        return 1;
    // One IPv4 socket per server; the IPv6 ones are made in the loop, bound
    // to the sensor's address.
    slots_owner slots;
    slots.open = true;
    if (client_slots_open(&slots.s, &cfg) < 0)
        return 1;
    // Only now does the caller of a detached start learn that it worked.
    if (proc_daemon_ready() < 0)
        return 1;
    log_set_stderr(false);
    if (client_loop(&slots.s, &cfg, opt.conffile) < 0)
        return 1;
    if (opt.pidfile != nullptr)
        unlink(opt.pidfile);
    log_client_exiting();
    log_close();
    return 0;
}
