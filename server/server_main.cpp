// zorvel-server: keeps DNS address records of dynamic hosts up to date from
// authenticated update datagrams.
#include "common/process/array.h"
#include "common/process/log.h"
#include "common/process/pidfile.h"
#include "common/process/proc.h"
#include "server/presence.h"
#include "server/server_config.h"
#include "server/server_loop.h"

#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace {

struct server_options {
    const char *conffile = nullptr;
    const char *pidfile = nullptr;
    const char *root = nullptr;
    const char *user = nullptr;
    bool detach = false;
};

// 0, or -1 for an option not in the table or one missing its argument.
// Arguments that are not options are ignored.
int server_parse_options(int argc, char **argv, server_options *opt) {
    int c;
    while ((c = getopt(argc, argv, "dc:u:t:p:")) != -1) {
        switch (c) {
        case 'd':
            opt->detach = true;
            break;
        case 'c':
            opt->conffile = optarg;
            break;
        case 'u':
            opt->user = optarg;
            break;
        case 't':
            opt->root = optarg;
            break;
        case 'p':
            opt->pidfile = optarg;
            break;
        default:
            return -1;
        }
    }
    return 0;
}

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
    server_options opt;

    log_open("zorvel-server");
    if (server_parse_options(argc, argv, &opt) < 0) {
        log_usage(argv[0]);
        return 1;
    }
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
    cfg.path = opt.conffile;
    cfg.mtime = 0;
    server_config_load(&cfg);
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

    server_loop_run(&cfg, &slots, &wait_mask);

    server_config_release(&cfg);
    array_free(&slots);
    if (opt.pidfile != nullptr)
        unlink(opt.pidfile);
    log_server_exiting();
    log_close();
    return 0;
}
