// TSIG signing and verification over the module's own HMACs.
#include "common/protocol/tsig.h"

#include "common/protocol/hmac_sha1.h"
#include "common/protocol/hmac_sha256.h"
#include "common/protocol/hmac_sha512.h"

#include <cstring>

namespace {

// Algorithm names in wire form, lower case as they are covered by the MAC;
// each string's NUL is the root label.
struct alg_entry {
    tsig_alg alg;
    const char *text;
    const uint8_t *wire;
    size_t wire_len;
    size_t mac_len;
};
constexpr uint8_t alg_sha256_wire[] = "\x0bhmac-sha256";
constexpr uint8_t alg_sha384_wire[] = "\x0bhmac-sha384";
constexpr uint8_t alg_sha512_wire[] = "\x0bhmac-sha512";
constexpr uint8_t alg_sha1_wire[] = "\x09hmac-sha1";
constexpr alg_entry algs[] = {
    {tsig_alg::hmac_sha256, "hmac-sha256", alg_sha256_wire, sizeof alg_sha256_wire,
     HMAC_SHA256_LEN},
    {tsig_alg::hmac_sha384, "hmac-sha384", alg_sha384_wire, sizeof alg_sha384_wire,
     HMAC_SHA384_LEN},
    {tsig_alg::hmac_sha512, "hmac-sha512", alg_sha512_wire, sizeof alg_sha512_wire,
     HMAC_SHA512_LEN},
    {tsig_alg::hmac_sha1, "hmac-sha1", alg_sha1_wire, sizeof alg_sha1_wire, HMAC_SHA1_LEN},
};

const alg_entry &entry(tsig_alg alg) {
    for (const alg_entry &e : algs)
        if (e.alg == alg)
            return e;
    return algs[0];
}

dns_name alg_name(tsig_alg alg) {
    const alg_entry &e = entry(alg);
    dns_name n;
    n.len = e.wire_len;
    std::memcpy(n.wire, e.wire, n.len);
    return n;
}

// text is name, or name with a final dot. Algorithm names are DNS names,
// so without regard to ASCII case ("HMAC-SHA256" as some tools print it); on
// the wire they go out as the table writes them.
bool names(const char *text, const char *name) {
    size_t n = std::strlen(name);
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i])
            return false;
    }
    return text[n] == '\0' || (text[n] == '.' && text[n + 1] == '\0');
}

// One MAC over pieces, with the key's algorithm.
struct mac_ctx {
    tsig_alg alg;
    hmac_sha256_ctx s256;
    hmac_sha512_ctx s512;
    hmac_sha1_ctx s1;

    mac_ctx(const tsig_key *key) : alg(key->alg) {
        switch (alg) {
        case tsig_alg::hmac_sha256:
            hmac_sha256_init(&s256, key->secret, key->secret_len);
            break;
        case tsig_alg::hmac_sha384:
            hmac_sha512_init_384(&s512, key->secret, key->secret_len);
            break;
        case tsig_alg::hmac_sha512:
            hmac_sha512_init(&s512, key->secret, key->secret_len);
            break;
        case tsig_alg::hmac_sha1:
            hmac_sha1_init(&s1, key->secret, key->secret_len);
            break;
        }
    }
    void update(const void *p, size_t n) {
        switch (alg) {
        case tsig_alg::hmac_sha256:
            hmac_sha256_update(&s256, p, n);
            break;
        case tsig_alg::hmac_sha384:
        case tsig_alg::hmac_sha512:
            hmac_sha512_update(&s512, p, n);
            break;
        case tsig_alg::hmac_sha1:
            hmac_sha1_update(&s1, p, n);
            break;
        }
    }
    void final(uint8_t *out) {
        switch (alg) {
        case tsig_alg::hmac_sha256:
            hmac_sha256_final(&s256, out);
            break;
        case tsig_alg::hmac_sha384:
        case tsig_alg::hmac_sha512:
            hmac_sha512_final(&s512, out);
            break;
        case tsig_alg::hmac_sha1:
            hmac_sha1_final(&s1, out);
            break;
        }
    }
};

struct tsig_fields {
    uint32_t ttl; // 0 as sent; as received when verifying, so it is covered
    uint64_t time;
    uint16_t fudge;
    uint16_t orig_id;
    uint16_t error;
    const uint8_t *other;
    uint16_t other_len;
};

void put48(uint8_t *p, uint64_t v) {
    dns_msg_put16(p, static_cast<uint16_t>(v >> 32));
    dns_msg_put16(p + 2, static_cast<uint16_t>(v >> 16));
    dns_msg_put16(p + 4, static_cast<uint16_t>(v));
}

// The MAC of RFC 8945 4.3: the request's MAC (for an answer), the message
// as it was before the TSIG record was added (its own ARCOUNT, the original
// ID), then the TSIG variables with names in canonical form.
// head is the 12-byte header as signed, body the bytes after it.
void compute_mac(const tsig_key *key, const uint8_t *req_mac, size_t req_mac_len,
                 const uint8_t *head, const uint8_t *body, size_t body_len, const tsig_fields &f,
                 uint8_t *out) {
    mac_ctx m(key);
    if (req_mac != nullptr) {
        uint8_t l[2];
        dns_msg_put16(l, static_cast<uint16_t>(req_mac_len));
        m.update(l, 2);
        m.update(req_mac, req_mac_len);
    }
    uint8_t header[DNS_HEADER_LEN];
    std::memcpy(header, head, sizeof header);
    dns_msg_put16(header, f.orig_id);
    m.update(header, sizeof header);
    m.update(body, body_len);

    dns_name kn = key->name;
    dns_msg_name_lower(&kn);
    dns_name an = alg_name(key->alg);
    uint8_t v[2 + 4 + 6 + 2 + 2 + 2];
    dns_msg_put16(v, DNS_CLASS_ANY);
    dns_msg_put16(v + 2, static_cast<uint16_t>(f.ttl >> 16));
    dns_msg_put16(v + 4, static_cast<uint16_t>(f.ttl));
    put48(v + 6, f.time);
    dns_msg_put16(v + 12, f.fudge);
    dns_msg_put16(v + 14, f.error);
    dns_msg_put16(v + 16, f.other_len);
    m.update(kn.wire, kn.len);
    m.update(v, 6);
    m.update(an.wire, an.len);
    m.update(v + 6, sizeof v - 6);
    if (f.other_len != 0)
        m.update(f.other, f.other_len);
    m.final(out);
}

bool mac_equal(tsig_alg alg, const uint8_t *a, const uint8_t *b) {
    switch (alg) {
    case tsig_alg::hmac_sha256:
        return hmac_sha256_equal(a, b);
    case tsig_alg::hmac_sha384:
    case tsig_alg::hmac_sha512:
        return hmac_sha512_equal(a, b, tsig_mac_len(alg));
    case tsig_alg::hmac_sha1:
        return hmac_sha1_equal(a, b);
    }
    return false;
}

} // namespace

bool tsig_alg_from_text(const char *text, tsig_alg *alg) {
    if (text == nullptr || alg == nullptr)
        return false;
    for (const alg_entry &e : algs)
        if (names(text, e.text)) {
            *alg = e.alg;
            return true;
        }
    return false;
}

bool tsig_alg_is_md5(const char *text) {
    return text != nullptr && (names(text, "hmac-md5") || names(text, "hmac-md5.sig-alg.reg.int"));
}

const char *tsig_alg_text(tsig_alg alg) {
    return entry(alg).text;
}

size_t tsig_mac_len(tsig_alg alg) {
    return entry(alg).mac_len;
}

size_t tsig_sign(uint8_t *buf, size_t len, size_t cap, const tsig_key *key, uint64_t now,
                 const uint8_t *req_mac, size_t req_mac_len, uint16_t error, uint8_t *mac) {
    if (buf == nullptr || key == nullptr || mac == nullptr || len < DNS_HEADER_LEN || len > cap ||
        req_mac_len > TSIG_MAC_MAX)
        return 0;
    uint16_t arcount = dns_msg_get16(buf + 10);
    if (arcount == 0xffff)
        return 0;
    dns_name an = alg_name(key->alg);
    size_t mlen = tsig_mac_len(key->alg);
    size_t rdlen = an.len + 6 + 2 + 2 + mlen + 2 + 2 + 2;
    size_t need = key->name.len + 10 + rdlen;
    if (need > cap - len)
        return 0;

    tsig_fields f{0, now & 0xffffffffffffULL, TSIG_FUDGE, dns_msg_get16(buf), error, nullptr, 0};
    compute_mac(key, req_mac, req_mac_len, buf, buf + DNS_HEADER_LEN, len - DNS_HEADER_LEN, f, mac);

    // The owner goes out in the canonical form the MAC covers: a name
    // server that checks the MAC over the name as received then agrees.
    dns_name owner = key->name;
    dns_msg_name_lower(&owner);
    uint8_t *p = buf + len;
    std::memcpy(p, owner.wire, owner.len);
    p += owner.len;
    dns_msg_put16(p, DNS_TYPE_TSIG);
    dns_msg_put16(p + 2, DNS_CLASS_ANY);
    std::memset(p + 4, 0, 4);
    dns_msg_put16(p + 8, static_cast<uint16_t>(rdlen));
    p += 10;
    std::memcpy(p, an.wire, an.len);
    p += an.len;
    put48(p, f.time);
    dns_msg_put16(p + 6, f.fudge);
    dns_msg_put16(p + 8, static_cast<uint16_t>(mlen));
    p += 10;
    std::memcpy(p, mac, mlen);
    p += mlen;
    dns_msg_put16(p, f.orig_id);
    dns_msg_put16(p + 2, error);
    dns_msg_put16(p + 4, 0);
    dns_msg_put16(buf + 10, static_cast<uint16_t>(arcount + 1));
    return len + need;
}

tsig_verdict tsig_verify(const uint8_t *msg, size_t len, const dns_msg_answer *ans,
                         const tsig_key *key, uint64_t now, const uint8_t *req_mac,
                         size_t req_mac_len, uint16_t *error) {
    uint16_t err_dummy;
    if (error == nullptr)
        error = &err_dummy;
    *error = 0;
    if (msg == nullptr || ans == nullptr || key == nullptr || ans->tsig_at < DNS_HEADER_LEN ||
        ans->tsig_rdata > len || ans->tsig_rdlen > len - ans->tsig_rdata ||
        ans->tsig_rdata < ans->tsig_at + 11)
        return tsig_verdict::invalid;
    if (!dns_msg_name_equal(&ans->tsig_key, &key->name))
        return tsig_verdict::invalid;

    const size_t end = ans->tsig_rdata + ans->tsig_rdlen;
    dns_name alg;
    size_t p;
    if (!dns_msg_read_name(msg, end, ans->tsig_rdata, &alg, &p))
        return tsig_verdict::invalid;
    if (end - p < 10)
        return tsig_verdict::invalid;
    tsig_fields f{};
    // The fixed part before the data: type, class, TTL, data length.
    f.ttl = uint32_t{dns_msg_get16(msg + ans->tsig_rdata - 6)} << 16 |
            dns_msg_get16(msg + ans->tsig_rdata - 4);
    f.time = uint64_t{dns_msg_get16(msg + p)} << 32 | uint64_t{dns_msg_get16(msg + p + 2)} << 16 |
             dns_msg_get16(msg + p + 4);
    f.fudge = dns_msg_get16(msg + p + 6);
    size_t mlen = dns_msg_get16(msg + p + 8);
    p += 10;
    if (end - p < mlen || end - p - mlen < 6)
        return tsig_verdict::invalid;
    const uint8_t *mac = msg + p;
    p += mlen;
    f.orig_id = dns_msg_get16(msg + p);
    f.error = dns_msg_get16(msg + p + 2);
    f.other_len = dns_msg_get16(msg + p + 4);
    p += 6;
    if (end - p != f.other_len)
        return tsig_verdict::invalid;
    f.other = msg + p;
    *error = f.error;

    dns_name want = alg_name(key->alg);
    if (!dns_msg_name_equal(&alg, &want))
        return tsig_verdict::invalid;
    // A name server that cannot use the key answers without a MAC.
    if (mlen == 0)
        return f.error != 0 ? tsig_verdict::unsigned_error : tsig_verdict::invalid;
    // Truncated MACs are not accepted: nothing here asks for them.
    if (mlen != tsig_mac_len(key->alg))
        return tsig_verdict::invalid;

    // The message as it was signed: without the TSIG record, one record fewer.
    uint8_t header[DNS_HEADER_LEN];
    std::memcpy(header, msg, sizeof header);
    uint16_t arcount = dns_msg_get16(header + 10);
    if (arcount == 0)
        return tsig_verdict::invalid;
    dns_msg_put16(header + 10, static_cast<uint16_t>(arcount - 1));
    uint8_t computed[TSIG_MAC_MAX];
    compute_mac(key, req_mac, req_mac_len, header, msg + DNS_HEADER_LEN,
                ans->tsig_at - DNS_HEADER_LEN, f, computed);
    if (!mac_equal(key->alg, computed, mac))
        return tsig_verdict::invalid;
    // Checked after the MAC, so only an authentic answer's time is judged.
    uint64_t d = now > f.time ? now - f.time : f.time - now;
    if (d > f.fudge)
        return tsig_verdict::invalid;
    return tsig_verdict::valid;
}

const char *tsig_error_name(uint16_t error) {
    switch (error) {
    case 0:
        return "NOERROR";
    case 16:
        return "BADSIG";
    case 17:
        return "BADKEY";
    case 18:
        return "BADTIME";
    case 19:
        return "BADMODE";
    case 20:
        return "BADNAME";
    case 21:
        return "BADALG";
    case 22:
        return "BADTRUNC";
    case 23:
        return "BADCOOKIE";
    default:
        return nullptr;
    }
}
