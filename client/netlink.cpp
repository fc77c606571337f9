// Route netlink address messages.
#include "client/netlink.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#ifdef ZORVEL_HAVE_NETLINK
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/time.h>
#endif

namespace {

// The wire layout, in the host's byte order: a 16-byte message header
// (length, type, flags, sequence, port), messages and attributes aligned
// to 4 bytes.
constexpr size_t HDR_LEN = 16;
constexpr size_t IFADDR_LEN = 8; // family, prefix length, flags, scope, index
constexpr size_t ATTR_HDR_LEN = 4;
constexpr uint16_t ATTR_ADDRESS = 1;
constexpr uint16_t ATTR_LOCAL = 2;
constexpr uint16_t ATTR_FLAGS = 8;
// The top bits of an attribute type mark nesting and byte order.
constexpr uint16_t ATTR_TYPE_MASK = 0x3fff;
constexpr uint16_t FLAG_REQUEST = 0x01;
constexpr uint16_t FLAG_DUMP = 0x300;

#ifdef ZORVEL_HAVE_NETLINK
static_assert(NLMSG_ERROR == NETLINK_MSG_ERROR && NLMSG_DONE == NETLINK_MSG_DONE);
static_assert(RTM_NEWADDR == NETLINK_NEWADDR && RTM_DELADDR == NETLINK_DELADDR &&
              RTM_GETADDR == NETLINK_GETADDR);
static_assert(sizeof(nlmsghdr) == HDR_LEN && sizeof(ifaddrmsg) == IFADDR_LEN &&
              sizeof(rtattr) == ATTR_HDR_LEN);
static_assert(IFA_ADDRESS == ATTR_ADDRESS && IFA_LOCAL == ATTR_LOCAL && IFA_FLAGS == ATTR_FLAGS);
static_assert(IFA_F_TEMPORARY == NETLINK_ADDR_TEMPORARY &&
              IFA_F_OPTIMISTIC == NETLINK_ADDR_OPTIMISTIC &&
              IFA_F_DADFAILED == NETLINK_ADDR_DADFAILED &&
              IFA_F_DEPRECATED == NETLINK_ADDR_DEPRECATED &&
              IFA_F_TENTATIVE == NETLINK_ADDR_TENTATIVE);
static_assert(NLM_F_REQUEST == FLAG_REQUEST && NLM_F_DUMP == FLAG_DUMP);
#endif

size_t align4(size_t n) {
    return (n + 3) & ~static_cast<size_t>(3);
}

uint16_t get16(const uint8_t *p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t get32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

void put16(uint8_t *p, uint16_t v) {
    memcpy(p, &v, sizeof v);
}

void put32(uint8_t *p, uint32_t v) {
    memcpy(p, &v, sizeof v);
}

// Decodes the body of one address message (body_len bytes after its
// header) into rec. false when the body is malformed.
bool parse_addr(const uint8_t *body, size_t body_len, netlink_addr *rec) {
    if (body_len < IFADDR_LEN)
        return false;
    rec->family = body[0];
    rec->prefix_len = body[1];
    rec->flags = body[2];
    rec->ifindex = get32(body + 4);
    bool have_local = false;
    size_t at = IFADDR_LEN;
    while (body_len - at >= ATTR_HDR_LEN) {
        size_t alen = get16(body + at);
        uint16_t type = get16(body + at + 2) & ATTR_TYPE_MASK;
        if (alen < ATTR_HDR_LEN || alen > body_len - at)
            return false;
        const uint8_t *value = body + at + ATTR_HDR_LEN;
        size_t vlen = alen - ATTR_HDR_LEN;
        if (type == ATTR_FLAGS && vlen >= 4) {
            rec->flags = get32(value);
        } else if ((type == ATTR_LOCAL || (type == ATTR_ADDRESS && !have_local)) &&
                   vlen <= sizeof rec->addr) {
            // On a point-to-point link IFA_ADDRESS is the peer's; IFA_LOCAL,
            // where given, is always the interface's own.
            memset(rec->addr, 0, sizeof rec->addr);
            memcpy(rec->addr, value, vlen);
            rec->addr_len = static_cast<uint8_t>(vlen);
            have_local = have_local || type == ATTR_LOCAL;
        }
        // The last attribute may go without its padding.
        at += align4(alen) < body_len - at ? align4(alen) : body_len - at;
    }
    return true;
}

} // namespace

int netlink_parse(const uint8_t *buf, size_t len, netlink_visit visit, void *ctx, int *err) {
    size_t at = 0;
    while (len - at >= HDR_LEN) {
        const uint8_t *msg = buf + at;
        size_t mlen = get32(msg);
        uint16_t type = get16(msg + 4);
        if (mlen < HDR_LEN || mlen > len - at)
            return -1;
        const uint8_t *body = msg + HDR_LEN;
        size_t body_len = mlen - HDR_LEN;
        if (type == NETLINK_MSG_DONE)
            return 1;
        if (type == NETLINK_MSG_ERROR) {
            if (body_len < 4)
                return -1;
            int32_t code = static_cast<int32_t>(get32(body));
            // A code of 0 acknowledges a request; it is no failure.
            if (code != 0) {
                if (err != nullptr)
                    *err = code < 0 && code != INT32_MIN ? -code : EPROTO;
                return -1;
            }
        } else if (type == NETLINK_NEWADDR || type == NETLINK_DELADDR) {
            netlink_addr rec{};
            rec.type = type;
            if (!parse_addr(body, body_len, &rec))
                return -1;
            visit(&rec, ctx);
        }
        at += align4(mlen) < len - at ? align4(mlen) : len - at;
    }
    return 0;
}

size_t netlink_dump_request(uint8_t *buf, size_t size, uint8_t family, uint32_t seq) {
    constexpr size_t len = HDR_LEN + IFADDR_LEN;
    if (size < len)
        return 0;
    memset(buf, 0, len);
    put32(buf, len);
    put16(buf + 4, NETLINK_GETADDR);
    put16(buf + 6, FLAG_REQUEST | FLAG_DUMP);
    put32(buf + 8, seq);
    buf[HDR_LEN] = family;
    return len;
}

#ifdef ZORVEL_HAVE_NETLINK

namespace {

struct fd_owner {
    int fd;
    ~fd_owner() {
        if (fd >= 0)
            close(fd);
    }
};

// Room for a batch of the kernel's dump: it fills whole pages.
constexpr size_t DUMP_BUFFER = 32768;
// A dump is the kernel's answer to a local request; it never takes long,
// and a wait that does is no reason to hold up the client.
constexpr int DUMP_TIMEOUT_MS = 1000;
// Every batch holds at least one record, so a dump of this many batches
// has gone wrong.
constexpr int DUMP_BATCHES_MAX = 4096;

} // namespace

int netlink_open_watch() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int netlink_dump(uint8_t family, netlink_visit visit, void *ctx) {
    fd_owner s{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
    if (s.fd < 0)
        return -1;
    timeval tv{};
    tv.tv_sec = DUMP_TIMEOUT_MS / 1000;
    tv.tv_usec = (DUMP_TIMEOUT_MS % 1000) * 1000;
    if (setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        return -1;
    uint8_t req[HDR_LEN + IFADDR_LEN];
    size_t rlen = netlink_dump_request(req, sizeof req, family, 1);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(s.fd, req, rlen, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return -1;
    uint8_t buf[DUMP_BUFFER];
    for (int batch = 0; batch < DUMP_BATCHES_MAX; batch++) {
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n < 0)
            return -1;
        if (n == 0) {
            errno = EPROTO;
            return -1;
        }
        int err = EPROTO;
        int rc = netlink_parse(buf, static_cast<size_t>(n), visit, ctx, &err);
        if (rc < 0) {
            errno = err;
            return -1;
        }
        if (rc == 1)
            return 0;
    }
    errno = EPROTO;
    return -1;
}

#else

int netlink_open_watch() {
    errno = ENOSYS;
    return -1;
}

int netlink_dump(uint8_t, netlink_visit, void *) {
    errno = ENOSYS;
    return -1;
}

#endif
