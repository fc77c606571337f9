// The change watch.
#include "client/addr_watch.h"

#include "client/netlink.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef ZORVEL_HAVE_ROUTE_SOCKET
#include <fcntl.h>
#include <net/route.h>
#endif

#if defined(ZORVEL_HAVE_NETLINK) || defined(ZORVEL_HAVE_ROUTE_SOCKET)
namespace {

// Notices come in bursts (an address and its route, the flags that follow
// duplicate detection); one call reads what a burst brings, and a flood
// waits for the next call rather than holding up the loop.
constexpr int READS_MAX = 64;
constexpr size_t READ_BUFFER = 16384;

#ifdef ZORVEL_HAVE_NETLINK
void note_change(const netlink_addr *, void *ctx) {
    *static_cast<bool *>(ctx) = true;
}
#endif

} // namespace
#endif

#ifdef ZORVEL_HAVE_NETLINK

int addr_watch_open() {
    return netlink_open_watch();
}

int addr_watch_read(int fd) {
    bool changed = false;
    uint8_t buf[READ_BUFFER];
    for (int i = 0; i < READS_MAX; i++) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            // The kernel dropped notices for a full queue: some change may
            // be among them.
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            return -1;
        }
        // A notice that does not parse still says something happened.
        if (netlink_parse(buf, static_cast<size_t>(n), note_change, &changed, nullptr) < 0)
            changed = true;
    }
    return changed ? 1 : 0;
}

#elif defined(ZORVEL_HAVE_ROUTE_SOCKET)

int addr_watch_open() {
    int fd = socket(PF_ROUTE, SOCK_RAW, 0);
    if (fd < 0)
        return -1;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int addr_watch_read(int fd) {
    bool changed = false;
    uint8_t buf[READ_BUFFER];
    for (int i = 0; i < READS_MAX; i++) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                changed = true;
                continue;
            }
            return -1;
        }
        // One message per read; its type sits after its length and version.
        const size_t type_at = offsetof(rt_msghdr, rtm_type);
        if (static_cast<size_t>(n) > type_at &&
            (buf[type_at] == RTM_NEWADDR || buf[type_at] == RTM_DELADDR))
            changed = true;
    }
    return changed ? 1 : 0;
}

#else

int addr_watch_open() {
    errno = ENOSYS;
    return -1;
}

int addr_watch_read(int) {
    errno = ENOSYS;
    return -1;
}

#endif
