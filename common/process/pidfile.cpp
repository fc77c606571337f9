// The program's own PID file, guarded against a running second instance.
#include "common/process/pidfile.h"

#include "common/process/log.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Every decimal digit of the file, wherever it stands, joins the number;
// anything else is passed over. The value wraps around in 32 bits as the
// file may hold any number of digits. Returns false when nothing was read.
bool read_pid(int fd, int32_t *pid) {
    uint32_t n = 0;
    bool any = false;
    unsigned char c = 0;
    while (read(fd, &c, 1) == 1) {
        any = true;
        if (c >= '0' && c <= '9')
            n = n * 10 + (c - '0');
    }
    *pid = static_cast<int32_t>(n);
    return any;
}

} // namespace

void pidfile_write_pid(int fd, pid_t pid) {
    if (pid > 9)
        pidfile_write_pid(fd, pid / 10);
    char digit = static_cast<char>('0' + pid % 10);
    (void)!write(fd, &digit, 1);
}

int pidfile_create(const char *path) {
    if (path == nullptr)
        return -1;

    // O_EXCL makes creation atomic: of two instances starting together
    // without a file, exactly one gets it. It also never follows a link.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        if (errno != EEXIST) {
            log_pidfile_create_failed(path, errno);
            return -1;
        }
        int in = open(path, O_RDONLY);
        if (in < 0) {
            log_pidfile_open_existing_failed(path, errno);
            return -1;
        }
        int32_t pid = 0;
        bool any = read_pid(in, &pid);
        close(in);
        if (!any || pid == 0) {
            log_pidfile_invalid_pid(path);
            pid = 0;
        }

        // A file naming this very process is stale too: a restart that was
        // handed the PID of the instance that left the file behind (as in a
        // fresh container) must not take itself for a running owner.
        bool stale = pid != 0 && pid == getpid();
        if (!stale) {
            // PID 0 probes our own process group, which exists, so a file
            // without a valid PID stops start-up here.
            if (kill(pid, 0) == 0) {
                log_pidfile_owned(path, static_cast<long>(pid));
                return -1;
            }
            if (errno != ESRCH) {
                log_pidfile_probe_failed(static_cast<long>(pid), path, errno);
                return -1;
            }
        }
        // The file is rewritten in place, never through a link that someone
        // may have put in its stead since the exclusive create refused it.
        fd = open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW);
        if (fd < 0) {
            log_pidfile_truncate_failed(path, errno);
            return -1;
        }
    }

    pidfile_write_pid(fd, getpid());
    (void)!write(fd, "\n", 1);
    close(fd);
    return 0;
}
