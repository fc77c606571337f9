// The dns-update effector: reading the form, the message and its outcome;
// the exchange itself is server/dns_exchange.
#include "server/dns_update.h"

#include "server/dns_exchange.h"

#include "common/process/clock.h"
#include "common/process/log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An atom usable as text: not a list, no NUL inside (the part before a NUL
// would name something else).
const char *atom_text(const sx_node *n) {
    if (n == nullptr || sx_is_list(n) || std::memchr(n->ptr, '\0', n->len) != nullptr)
        return nullptr;
    return sx_text(n);
}

// Decimal digits only, from lo to hi; -1 otherwise.
long decimal(const char *s, long lo, long hi) {
    if (s == nullptr || *s == '\0')
        return -1;
    long v = 0;
    for (; *s != '\0'; s++) {
        if (*s < '0' || *s > '9')
            return -1;
        v = v * 10 + (*s - '0');
        if (v > hi)
            return -1;
    }
    return v < lo ? -1 : v;
}

bool copy_text(char *dst, size_t cap, const char *src) {
    size_t n = std::strlen(src);
    if (n == 0 || n >= cap)
        return false;
    std::memcpy(dst, src, n + 1);
    return true;
}

struct form_reader {
    dns_update_fault *why;

    bool fault(dns_update_fault::kind_t kind, const sx_node *at, const char *what,
               const char *value) const {
        why->kind = kind;
        why->at = at;
        why->what = what;
        why->zone = "";
        snprintf(why->value, sizeof why->value, "%s", value != nullptr ? value : "");
        return false;
    }
    bool bad(const sx_node *at, const char *what, const char *value) const {
        return fault(dns_update_fault::invalid, at, what, value);
    }
};

// An update as its log records name it.
struct update_text {
    char addr[INET6_ADDRSTRLEN];
    log_dns_update lu;
};

// REQUIRES: type is DNS_TYPE_A or DNS_TYPE_AAAA.
void describe(const dns_update_conf *c, const char *name, size_t name_len, uint16_t type,
              const uint8_t *addr, update_text *t) {
    t->addr[0] = '\0';
    inet_ntop(type == DNS_TYPE_A ? AF_INET : AF_INET6, addr, t->addr, sizeof t->addr);
    t->lu = log_dns_update{name,    name_len, c->owner_text, type == DNS_TYPE_A ? "A" : "AAAA",
                           t->addr, c->host,  c->port};
}

// The message ID only pairs an answer with its request; TSIG authenticates
// it. It is still drawn from the system's random source, so an off-path
// forger cannot even get a well-formed answer looked at.
uint16_t random_id() {
    uint16_t v = 0;
#ifdef ZORVEL_HAVE_GETENTROPY
    if (getentropy(&v, sizeof v) == 0)
        return v;
#endif
    int fd = open("/dev/urandom", O_RDONLY);
    if (fd >= 0) {
        ssize_t n = read(fd, &v, sizeof v);
        close(fd);
        if (n == static_cast<ssize_t>(sizeof v))
            return v;
    }
    // No random source inside the root: still different per request.
    static uint16_t counter = 0;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint16_t>(ts.tv_nsec ^ (ts.tv_nsec >> 16) ^ getpid() ^ ++counter * 40503u);
}

void rcode_text(unsigned rcode, char *buf, size_t cap) {
    const char *n = dns_msg_rcode_name(rcode);
    if (n != nullptr)
        snprintf(buf, cap, "%s", n);
    else
        snprintf(buf, cap, "RCODE %u", rcode);
}

void tsig_error_text(uint16_t err, char *buf, size_t cap) {
    const char *n = tsig_error_name(err);
    if (n != nullptr)
        snprintf(buf, cap, "%s", n);
    else
        snprintf(buf, cap, "%u", unsigned{err});
}

} // namespace

bool dns_update_read(const sx_node *args, const char *name, size_t name_len, dns_update_conf *out,
                     dns_update_fault *why) {
    form_reader f{why};
    dns_update_conf c{};
    c.ttl = DNS_UPDATE_DEFAULT_TTL;
    c.wait_ms = DNS_UPDATE_DEFAULT_WAIT;
    bool have_server = false, have_zone = false, have_key = false, have_owner = false;
    const char *zone_text = nullptr;
    const sx_node *owner_at = nullptr;

    for (const sx_node *n = args; n != nullptr; n = n->next) {
        const sx_node *kw = sx_is_list(n) ? sx_first(n) : nullptr;
        if (kw == nullptr || sx_is_list(kw))
            return f.bad(n, "option", sx_is_list(n) ? "(...)" : atom_text(n));
        const sx_node *v1 = kw->next;
        const sx_node *v2 = v1 != nullptr ? v1->next : nullptr;
        const sx_node *v3 = v2 != nullptr ? v2->next : nullptr;
        const char *t1 = atom_text(v1);
        if (sx_atom_is(kw, "server")) {
            const char *t2 = atom_text(v2);
            if (t1 == nullptr || !copy_text(c.host, sizeof c.host, t1))
                return f.bad(n, "server", t1);
            if (t2 == nullptr || !copy_text(c.port, sizeof c.port, t2))
                return f.bad(n, "server port", t2);
            have_server = true;
        } else if (sx_atom_is(kw, "zone")) {
            if (t1 == nullptr || !dns_msg_name_from_text(&c.zone, t1, v1->len))
                return f.bad(n, "zone", t1);
            zone_text = t1;
            have_zone = true;
        } else if (sx_atom_is(kw, "key")) {
            const char *t2 = atom_text(v2);
            if (t1 == nullptr || !dns_msg_name_from_text(&c.key.name, t1, v1->len))
                return f.bad(n, "key name", t1);
            if (tsig_alg_is_md5(t2))
                return f.fault(dns_update_fault::md5, n, "key algorithm", t2);
            if (!tsig_alg_from_text(t2, &c.key.alg))
                return f.bad(n, "key algorithm", t2);
            // The secret itself is never logged.
            if (v3 == nullptr || sx_is_list(v3) || v3->len == 0)
                return f.bad(n, "key secret for", t1);
            c.key.secret = static_cast<const uint8_t *>(v3->ptr);
            c.key.secret_len = v3->len;
            have_key = true;
        } else if (sx_atom_is(kw, "ttl")) {
            long v = decimal(t1, 0, 2147483647);
            if (v < 0)
                return f.bad(n, "ttl", t1);
            c.ttl = static_cast<uint32_t>(v);
        } else if (sx_atom_is(kw, "owner")) {
            if (t1 == nullptr || !dns_msg_name_from_text(&c.owner, t1, v1->len))
                return f.bad(n, "owner", t1);
            have_owner = true;
            owner_at = n;
        } else if (sx_atom_is(kw, "wait")) {
            long v = decimal(t1, 1, DNS_UPDATE_MAX_WAIT);
            if (v < 0)
                return f.bad(n, "wait", t1);
            c.wait_ms = static_cast<int>(v);
        } else {
            return f.bad(n, "option", atom_text(kw));
        }
    }
    if (!have_server || !have_zone || !have_key)
        return f.fault(dns_update_fault::missing, nullptr,
                       !have_server ? "server"
                       : !have_zone ? "zone"
                                    : "key",
                       "");
    if (!have_owner) {
        // The account name, a dot, the zone.
        char text[DNS_NAME_MAX * 4 + 2];
        int n = snprintf(text, sizeof text, "%.*s.%s", static_cast<int>(name_len), name, zone_text);
        if (n < 0 || static_cast<size_t>(n) >= sizeof text ||
            std::memchr(name, '\0', name_len) != nullptr ||
            !dns_msg_name_from_text(&c.owner, text, static_cast<size_t>(n)))
            return f.bad(nullptr, "owner",
                         n > 0 && static_cast<size_t>(n) < sizeof text ? text : "");
    }
    if (dns_msg_name_to_text(&c.owner, c.owner_text, sizeof c.owner_text) == 0)
        return f.bad(owner_at, "owner", "");
    if (!dns_msg_name_within(&c.owner, &c.zone)) {
        f.fault(dns_update_fault::outside_zone, owner_at, "owner", c.owner_text);
        why->zone = zone_text;
        return false;
    }
    *out = c;
    return true;
}

bool dns_update_parse(const sx_node *args, const char *name, size_t name_len,
                      dns_update_conf *out) {
    dns_update_fault why;
    if (dns_update_read(args, name, name_len, out, &why))
        return true;
    switch (why.kind) {
    case dns_update_fault::invalid:
        log_dns_update_invalid(name, name_len, why.what, why.value);
        break;
    case dns_update_fault::missing:
        log_dns_update_missing(name, name_len, why.what);
        break;
    case dns_update_fault::outside_zone:
        log_dns_update_outside_zone(name, name_len, why.value, why.zone);
        break;
    case dns_update_fault::md5:
        log_dns_update_md5(name, name_len, why.value);
        break;
    }
    return false;
}

dns_update_judgement dns_update_judge(const uint8_t *msg, size_t len, uint16_t id,
                                      const tsig_key *key, const uint8_t *req_mac,
                                      size_t req_mac_len, uint64_t now) {
    dns_update_judgement j{dns_update_judgement::ignore, 0, 0};
    if (msg == nullptr || len < DNS_HEADER_LEN || dns_msg_get16(msg) != id)
        return j;
    uint16_t flags = dns_msg_get16(msg + 2);
    if ((flags & DNS_FLAG_QR) == 0 || (flags >> 11 & 0xf) != DNS_OPCODE_UPDATE)
        return j;
    // A cut answer may have lost its TSIG record; all it can ask is a retry.
    if ((flags & DNS_FLAG_TC) != 0) {
        j.kind = dns_update_judgement::truncated;
        return j;
    }
    dns_msg_answer a;
    if (!dns_msg_parse(msg, len, &a))
        return j;
    // Some name servers refuse a request they cannot verify with a bare
    // RCODE, no TSIG record at all. Taken as an unsigned error, it names the
    // refusal at the end of the wait instead of silence.
    if (a.tsig_at == 0) {
        j.kind = dns_update_judgement::unsigned_error;
        j.rcode = dns_msg_rcode(&a);
        return j;
    }
    uint16_t err = 0;
    switch (tsig_verify(msg, len, &a, key, now, req_mac, req_mac_len, &err)) {
    case tsig_verdict::valid:
        j.kind = dns_update_judgement::answer;
        break;
    case tsig_verdict::unsigned_error:
        j.kind = dns_update_judgement::unsigned_error;
        break;
    case tsig_verdict::invalid:
        return j;
    }
    j.rcode = dns_msg_rcode(&a);
    j.tsig_error = err;
    return j;
}

uint16_t dns_update_new_id() {
    return random_id();
}

dns_update_result dns_update_report(const dns_update_conf *c, const char *name, size_t name_len,
                                    uint16_t type, const uint8_t *addr, const dns_exchange *x) {
    // All zero is no address: the RRset was deleted.
    const size_t addr_len = type == DNS_TYPE_A ? 4 : 16;
    bool remove = true;
    for (size_t i = 0; i < addr_len; i++)
        remove = remove && addr[i] == 0;
    update_text t;
    describe(c, name, name_len, type, addr, &t);
    const log_dns_update &lu = t.lu;
    if (x->used_tcp)
        log_dns_update_tcp_retry(&lu);
    if (!x->sent_any || (x->used_tcp && !x->answered && x->send_errno != 0)) {
        log_dns_update_send_failed(&lu, x->send_errno != 0 ? x->send_errno : EIO);
        return dns_update_result::failed;
    }
    char rcode[24], terr[16];
    if (x->answered) {
        // Which of several addresses took the update, so that one that never
        // answers stands out.
        if (x->npeers > 1 && x->answered_by >= 0) {
            char where[INET6_ADDRSTRLEN + 8] = "?";
            const sockaddr_storage &sa = x->peers[x->answered_by].sa;
            const void *raw = sa.ss_family == AF_INET6
                                  ? static_cast<const void *>(
                                        &reinterpret_cast<const sockaddr_in6 &>(sa).sin6_addr)
                                  : &reinterpret_cast<const sockaddr_in &>(sa).sin_addr;
            inet_ntop(sa.ss_family, raw, where, sizeof where);
            log_dns_update_answered_from(&lu, where);
        }
        rcode_text(x->result.rcode, rcode, sizeof rcode);
        if (x->result.rcode == 0 && x->result.tsig_error == 0) {
            if (remove)
                log_dns_update_deleted(&lu);
            else
                log_dns_update_applied(&lu);
            return dns_update_result::applied;
        }
        if (x->result.tsig_error != 0) {
            tsig_error_text(x->result.tsig_error, terr, sizeof terr);
            log_dns_update_tsig_error(&lu, rcode, terr);
        } else {
            log_dns_update_refused(&lu, rcode);
        }
        return dns_update_result::refused;
    }
    // An unsigned refusal cannot be told from a forgery, so it was only
    // kept in case no authentic answer came.
    if (x->unsigned_seen) {
        rcode_text(x->unsigned_error.rcode, rcode, sizeof rcode);
        if (x->unsigned_error.tsig_error == 0) {
            log_dns_update_unsigned_answer(&lu, rcode);
        } else {
            tsig_error_text(x->unsigned_error.tsig_error, terr, sizeof terr);
            log_dns_update_unsigned_error(&lu, rcode, terr);
        }
        return dns_update_result::refused;
    }
    log_dns_update_no_answer(&lu, c->wait_ms, x->ignored);
    return dns_update_result::no_answer;
}

void dns_update_log_retry(const dns_update_conf *c, const char *name, size_t name_len,
                          uint16_t type, const uint8_t *addr) {
    update_text t;
    describe(c, name, name_len, type, addr, &t);
    log_dns_update_retry(&t.lu);
}

void dns_update_lookup_failed(const dns_update_conf *c, const char *name, size_t name_len,
                              uint16_t type, const uint8_t *addr, int gai_code) {
    update_text t;
    describe(c, name, name_len, type, addr, &t);
    log_dns_update_lookup_failed(&t.lu, gai_code);
}
