// DNS names and the dynamic update message.
#include "common/protocol/dns_msg.h"

#include <cstdio>
#include <cstring>

namespace {

uint8_t lower(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Appends a name, a type and a class at out[pos]; false when it does not fit.
struct writer {
    uint8_t *out;
    size_t cap;
    size_t pos;
    bool ok;

    void bytes(const void *p, size_t n) {
        if (!ok || n > cap - pos) {
            ok = false;
            return;
        }
        std::memcpy(out + pos, p, n);
        pos += n;
    }
    void u16(uint16_t v) {
        uint8_t b[2];
        dns_msg_put16(b, v);
        bytes(b, 2);
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void name(const dns_name *n) { bytes(n->wire, n->len); }
};

// Skips one record (or, with question true, one zone/question entry) at
// *pos; false when it runs past len.
bool skip_record(const uint8_t *msg, size_t len, size_t *pos, bool question, dns_name *owner,
                 uint16_t *type, uint16_t *cls, size_t *rdata, size_t *rdlen) {
    size_t p;
    if (!dns_msg_read_name(msg, len, *pos, owner, &p))
        return false;
    size_t fixed = question ? 4 : 10;
    if (len - p < fixed)
        return false;
    *type = dns_msg_get16(msg + p);
    *cls = dns_msg_get16(msg + p + 2);
    p += fixed;
    if (!question) {
        size_t n = dns_msg_get16(msg + p - 2);
        if (len - p < n)
            return false;
        *rdata = p;
        *rdlen = n;
        p += n;
    }
    *pos = p;
    return true;
}

} // namespace

bool dns_msg_name_from_text(dns_name *out, const char *text, size_t len) {
    if (out == nullptr || text == nullptr || len == 0)
        return false;
    if (len == 1 && text[0] == '.') {
        out->wire[0] = 0;
        out->len = 1;
        return true;
    }
    dns_name n;
    size_t label_at = 0; // the length byte of the label being read
    size_t w = 1;
    size_t i = 0;
    for (;;) {
        bool end = i == len;
        if (end || text[i] == '.') {
            size_t label = w - label_at - 1;
            if (label == 0)
                return false;
            n.wire[label_at] = static_cast<uint8_t>(label);
            if (end || i + 1 == len)
                break;
            i++;
            if (w >= DNS_NAME_MAX - 1)
                return false;
            label_at = w++;
            continue;
        }
        uint8_t c = static_cast<uint8_t>(text[i++]);
        if (c == '\\') {
            if (i == len)
                return false;
            if (is_digit(text[i])) {
                if (len - i < 3 || !is_digit(text[i + 1]) || !is_digit(text[i + 2]))
                    return false;
                int v = (text[i] - '0') * 100 + (text[i + 1] - '0') * 10 + (text[i + 2] - '0');
                if (v > 255)
                    return false;
                c = static_cast<uint8_t>(v);
                i += 3;
            } else {
                c = static_cast<uint8_t>(text[i++]);
            }
        }
        // Room for this byte and the root label behind it.
        if (w - label_at > DNS_LABEL_MAX || w >= DNS_NAME_MAX - 1)
            return false;
        n.wire[w++] = c;
    }
    n.wire[w++] = 0;
    n.len = w;
    *out = n;
    return true;
}

size_t dns_msg_name_to_text(const dns_name *name, char *buf, size_t cap) {
    if (buf == nullptr || cap == 0)
        return 0;
    buf[0] = '\0';
    if (name == nullptr || name->len == 0 || name->len > DNS_NAME_MAX)
        return 0;
    size_t o = 0;
    auto put = [&](const char *s, size_t n) {
        if (n >= cap - o)
            return false;
        std::memcpy(buf + o, s, n);
        o += n;
        return true;
    };
    if (name->len == 1)
        return put(".", 1) ? (buf[o] = '\0', o) : 0;
    for (size_t i = 0; i < name->len && name->wire[i] != 0;) {
        size_t l = name->wire[i++];
        if (l > name->len - i) {
            buf[0] = '\0';
            return 0;
        }
        if (o != 0 && !put(".", 1)) {
            buf[0] = '\0';
            return 0;
        }
        for (size_t k = 0; k < l; k++, i++) {
            uint8_t c = name->wire[i];
            char tmp[5];
            size_t n = 1;
            if (c == '.' || c == '\\') {
                tmp[0] = '\\';
                tmp[1] = static_cast<char>(c);
                n = 2;
            } else if (c <= 0x20 || c >= 0x7f) {
                snprintf(tmp, sizeof tmp, "\\%03u", unsigned{c});
                n = 4;
            } else {
                tmp[0] = static_cast<char>(c);
            }
            if (!put(tmp, n)) {
                buf[0] = '\0';
                return 0;
            }
        }
    }
    buf[o] = '\0';
    return o;
}

bool dns_msg_name_equal(const dns_name *a, const dns_name *b) {
    if (a->len != b->len)
        return false;
    for (size_t i = 0; i < a->len; i++)
        if (lower(a->wire[i]) != lower(b->wire[i]))
            return false;
    return true;
}

bool dns_msg_name_within(const dns_name *name, const dns_name *zone) {
    if (zone->len > name->len)
        return false;
    // The suffix must begin on a label boundary of name.
    size_t i = 0;
    while (name->len - i > zone->len) {
        if (name->wire[i] == 0)
            return false;
        i += 1 + name->wire[i];
    }
    if (name->len - i != zone->len)
        return false;
    for (size_t k = 0; k < zone->len; k++)
        if (lower(name->wire[i + k]) != lower(zone->wire[k]))
            return false;
    return true;
}

void dns_msg_name_lower(dns_name *name) {
    // Length bytes are at most 63, below 'A', so they pass unchanged.
    for (size_t i = 0; i < name->len; i++)
        name->wire[i] = lower(name->wire[i]);
}

bool dns_msg_read_name(const uint8_t *msg, size_t len, size_t off, dns_name *out, size_t *next) {
    if (msg == nullptr || out == nullptr || next == nullptr)
        return false;
    dns_name n;
    size_t w = 0;
    size_t pos = off;
    size_t after = 0; // offset after the name in place, once a pointer is taken
    bool jumped = false;
    size_t floor = off;
    for (;;) {
        if (pos >= len)
            return false;
        uint8_t l = msg[pos];
        if ((l & 0xc0) == 0xc0) {
            if (len - pos < 2)
                return false;
            size_t target = static_cast<size_t>(l & 0x3f) << 8 | msg[pos + 1];
            // Each pointer must lead before every byte of the name read so
            // far, so the walk always ends and never reads a byte twice.
            if (target >= floor)
                return false;
            floor = target;
            if (!jumped)
                after = pos + 2;
            jumped = true;
            pos = target;
            continue;
        }
        if ((l & 0xc0) != 0)
            return false;
        if (l > len - pos - 1 || l + 1u > DNS_NAME_MAX - w)
            return false;
        std::memcpy(n.wire + w, msg + pos, l + 1u);
        w += l + 1u;
        pos += l + 1u;
        if (l == 0)
            break;
    }
    n.len = w;
    *out = n;
    *next = jumped ? after : pos;
    return true;
}

size_t dns_msg_build_update(uint8_t *out, size_t cap, const dns_msg_update *u) {
    if (out == nullptr || u == nullptr || u->zone == nullptr || u->owner == nullptr)
        return 0;
    size_t addr_len = u->type == DNS_TYPE_A ? 4 : u->type == DNS_TYPE_AAAA ? 16 : 0;
    if (addr_len == 0)
        return 0;
    writer w{out, cap, 0, true};
    uint8_t header[DNS_HEADER_LEN] = {};
    dns_msg_put16(header, u->id);
    dns_msg_put16(header + 2, static_cast<uint16_t>(DNS_OPCODE_UPDATE << 11));
    dns_msg_put16(header + 4, 1);                          // zone
    dns_msg_put16(header + 8, u->addr != nullptr ? 2 : 1); // updates
    w.bytes(header, sizeof header);
    w.name(u->zone);
    w.u16(DNS_TYPE_SOA);
    w.u16(DNS_CLASS_IN);
    // Delete the RRset: class ANY, TTL 0, no data (RFC 2136 2.5.2).
    w.name(u->owner);
    w.u16(u->type);
    w.u16(DNS_CLASS_ANY);
    w.u32(0);
    w.u16(0);
    if (u->addr != nullptr) {
        w.name(u->owner);
        w.u16(u->type);
        w.u16(DNS_CLASS_IN);
        w.u32(u->ttl);
        w.u16(static_cast<uint16_t>(addr_len));
        w.bytes(u->addr, addr_len);
    }
    return w.ok ? w.pos : 0;
}

bool dns_msg_parse(const uint8_t *msg, size_t len, dns_msg_answer *out) {
    if (msg == nullptr || out == nullptr || len < DNS_HEADER_LEN)
        return false;
    dns_msg_answer a{};
    a.id = dns_msg_get16(msg);
    a.flags = dns_msg_get16(msg + 2);
    size_t counts[4];
    for (int s = 0; s < 4; s++)
        counts[s] = dns_msg_get16(msg + 4 + 2 * s);
    size_t pos = DNS_HEADER_LEN;
    dns_name owner;
    uint16_t type = 0, cls = 0;
    size_t rdata = 0, rdlen = 0;
    for (int s = 0; s < 4; s++) {
        for (size_t i = 0; i < counts[s]; i++) {
            size_t at = pos;
            if (!skip_record(msg, len, &pos, s == 0, &owner, &type, &cls, &rdata, &rdlen))
                return false;
            if (s == 0 || type != DNS_TYPE_TSIG)
                continue;
            if (s != 3 || i + 1 != counts[s] || cls != DNS_CLASS_ANY)
                return false;
            a.tsig_at = at;
            a.tsig_key = owner;
            a.tsig_rdata = rdata;
            a.tsig_rdlen = rdlen;
        }
    }
    if (pos != len)
        return false;
    *out = a;
    return true;
}

const char *dns_msg_rcode_name(unsigned rcode) {
    static const char *const names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                        "NOTIMP",  "REFUSED", "YXDOMAIN", "YXRRSET",
                                        "NXRRSET", "NOTAUTH", "NOTZONE",  "DSOTYPENI"};
    return rcode < sizeof names / sizeof names[0] ? names[rcode] : nullptr;
}
