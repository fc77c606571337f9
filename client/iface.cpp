// Interface addresses.
#include "client/iface.h"

#include "client/netlink.h"
#include "common/process/array.h"
#include "common/process/log.h"

#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef ZORVEL_HAVE_IN6_IFREQ_FLAGS
#include <netinet6/in6_var.h>
#include <sys/ioctl.h>
#endif

namespace {

// Owns the system's interface list on every way out.
struct ifaddrs_owner {
    ifaddrs *head = nullptr;
    ~ifaddrs_owner() {
        if (head != nullptr)
            freeifaddrs(head);
    }
};

bool is_family(const ifaddrs *ifa, const char *ifname, int family) {
    return ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == family &&
           ifa->ifa_name != nullptr && strcmp(ifa->ifa_name, ifname) == 0;
}

// The flags of each IPv6 address of one interface, as the system gave them.
struct flag_entry {
    uint8_t addr[16];
    uint32_t flags;
};

struct flag_table {
    array entries;
    uint32_t ifindex;
    bool full; // an entry could not be stored: those missing stay unknown
    flag_table() : entries{}, ifindex(0), full(false) { array_init(&entries, sizeof(flag_entry)); }
    ~flag_table() { array_free(&entries); }
    flag_table(const flag_table &) = delete;
    flag_table &operator=(const flag_table &) = delete;
};

uint32_t from_netlink(uint32_t f) {
    uint32_t out = 0;
    if (f & NETLINK_ADDR_TEMPORARY)
        out |= IFACE_TEMPORARY;
    if (f & NETLINK_ADDR_DEPRECATED)
        out |= IFACE_DEPRECATED;
    // An optimistic address is in use before duplicate detection has ended,
    // and may yet turn out a duplicate: it is announced once detection is
    // over, which the system reports as a change.
    if (f & (NETLINK_ADDR_TENTATIVE | NETLINK_ADDR_OPTIMISTIC))
        out |= IFACE_TENTATIVE;
    if (f & NETLINK_ADDR_DADFAILED)
        out |= IFACE_DUPLICATED;
    return out;
}

void collect_flags(const netlink_addr *rec, void *ctx) {
    auto *t = static_cast<flag_table *>(ctx);
    if (rec->type != NETLINK_NEWADDR || rec->family != AF_INET6 || rec->addr_len != 16 ||
        rec->ifindex != t->ifindex)
        return;
    int32_t i = array_append(&t->entries);
    if (i < 0) {
        t->full = true;
        return;
    }
    auto *e = static_cast<flag_entry *>(array_get(&t->entries, i));
    memcpy(e->addr, rec->addr, 16);
    e->flags = from_netlink(rec->flags);
}

// Reads the flags of the interface's IPv6 addresses into t, where the
// system gives them in one dump. 0; -1 with errno when it does not, or
// the dump failed.
int load_flags(flag_table *t, const char *ifname) {
    t->ifindex = if_nametoindex(ifname);
    if (t->ifindex == 0)
        return -1;
    return netlink_dump(AF_INET6, collect_flags, t);
}

// The flags of one address: from the dump where there is one, else by
// asking the system for that address alone. IFACE_UNKNOWN with *err set
// when neither tells.
uint32_t flags_of(const flag_table *t, bool dumped, const char *ifname, const sockaddr_in6 *sin6,
                  int *err) {
    if (dumped) {
        for (int32_t i = 0; i < t->entries.count; i++) {
            const auto *e = static_cast<const flag_entry *>(array_get(&t->entries, i));
            if (memcmp(e->addr, sin6->sin6_addr.s6_addr, 16) == 0)
                return e->flags;
        }
        // Added since the dump, or not stored: nothing is known of it.
        *err = t->full ? ENOMEM : ENOENT;
        return IFACE_UNKNOWN;
    }
#ifdef ZORVEL_HAVE_IN6_IFREQ_FLAGS
    int s = socket(AF_INET6, SOCK_DGRAM, 0);
    if (s < 0) {
        *err = errno;
        return IFACE_UNKNOWN;
    }
    in6_ifreq req{};
    if (strlen(ifname) >= sizeof req.ifr_name) {
        close(s);
        *err = ENAMETOOLONG;
        return IFACE_UNKNOWN;
    }
    memcpy(req.ifr_name, ifname, strlen(ifname));
    req.ifr_ifru.ifru_addr = *sin6;
    int rc = ioctl(s, SIOCGIFAFLAG_IN6, &req);
    int e = errno;
    close(s);
    if (rc < 0) {
        *err = e;
        return IFACE_UNKNOWN;
    }
    int f = req.ifr_ifru.ifru_flags6;
    uint32_t out = 0;
    if (f & IN6_IFF_TEMPORARY)
        out |= IFACE_TEMPORARY;
    if (f & IN6_IFF_DEPRECATED)
        out |= IFACE_DEPRECATED;
    if (f & IN6_IFF_TENTATIVE)
        out |= IFACE_TENTATIVE;
    if (f & IN6_IFF_DUPLICATED)
        out |= IFACE_DUPLICATED;
    if (f & IN6_IFF_DETACHED)
        out |= IFACE_DETACHED;
    if (f & IN6_IFF_ANYCAST)
        out |= IFACE_ANYCAST;
    return out;
#else
    (void)ifname;
    (void)sin6;
    *err = ENOSYS;
    return IFACE_UNKNOWN;
#endif
}

// Reads the interface list into own; -1 after logging.
int read_list(ifaddrs_owner *own, const char *ifname) {
    if (getifaddrs(&own->head) < 0) {
        own->head = nullptr;
        log_iface_read_failed(ifname, errno);
        return -1;
    }
    return 0;
}

// Logs why the interface gave no address: it is not there, or none of its
// addresses will do.
int no_address(const char *family, const char *ifname) {
    if (!iface_exists(ifname))
        log_iface_not_found(ifname);
    else
        log_iface_no_address(family, ifname);
    return -1;
}

} // namespace

bool iface_usable4(const uint8_t addr[4]) {
    static const uint8_t none[4] = {};
    if (memcmp(addr, none, 4) == 0)
        return false;
    if (addr[0] == 127)
        return false;
    return !(addr[0] == 169 && addr[1] == 254);
}

bool iface_usable6(const uint8_t addr[16], uint32_t flags, bool ula) {
    if (flags != 0)
        return false;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static const uint8_t zero[15] = {};
    // ::, ::1 and the rest of ::/96 that is no real address.
    if (memcmp(addr, zero, 15) == 0 || memcmp(addr, mapped, 12) == 0)
        return false;
    if (addr[0] == 0xff)
        return false; // multicast
    if (addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80)
        return false; // link-local
    if (addr[0] == 0xfe && (addr[1] & 0xc0) == 0xc0)
        return false; // site-local, long deprecated
    if ((addr[0] & 0xfe) == 0xfc)
        return ula;
    return true;
}

bool iface_exists(const char *ifname) {
    return if_nametoindex(ifname) != 0;
}

int iface_address4(uint8_t addr[4], const char *ifname) {
    ifaddrs_owner own;
    if (read_list(&own, ifname) < 0)
        return -1;
    for (const ifaddrs *ifa = own.head; ifa != nullptr; ifa = ifa->ifa_next) {
        if (!is_family(ifa, ifname, AF_INET) || (ifa->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const auto *sin = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr);
        const auto *a = reinterpret_cast<const uint8_t *>(&sin->sin_addr);
        if (iface_usable4(a)) {
            memcpy(addr, a, 4);
            return 0;
        }
    }
    return no_address("IPv4", ifname);
}

int iface_address6(uint8_t addr[16], const char *ifname, bool ula) {
    ifaddrs_owner own;
    if (read_list(&own, ifname) < 0)
        return -1;
    flag_table table;
    bool tried = false; // the dump, once for all the addresses
    bool dumped = false;
    int err = 0;
    bool flags_failed = false;
    for (const ifaddrs *ifa = own.head; ifa != nullptr; ifa = ifa->ifa_next) {
        if (!is_family(ifa, ifname, AF_INET6) || (ifa->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(ifa->ifa_addr);
        const uint8_t *a = sin6->sin6_addr.s6_addr;
        // The address alone rules most out; the flags are asked for only
        // once one could be taken.
        if (!iface_usable6(a, 0, ula))
            continue;
        if (!tried) {
            tried = true;
            if (load_flags(&table, ifname) == 0) {
                dumped = true;
            } else if (errno != ENOSYS) {
                flags_failed = true;
                err = errno;
            }
        }
        if (flags_failed)
            break;
        uint32_t flags = flags_of(&table, dumped, ifname, sin6, &err);
        if (flags == IFACE_UNKNOWN && err != ENOENT) {
            flags_failed = true;
            break;
        }
        if (iface_usable6(a, flags, ula)) {
            memcpy(addr, a, 16);
            return 0;
        }
    }
    // An address whose flags cannot be told might be a temporary one: none
    // is announced rather than that.
    if (flags_failed) {
        log_iface_flags_failed(ifname, err);
        return -1;
    }
    return no_address("IPv6", ifname);
}
