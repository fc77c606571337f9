// Arbitrary bytes as a name server's answer: the parser and the TSIG check
// must never read outside them, what the parser accepts must hang together,
// and no answer may pass the TSIG check, or the update's judgement, without
// the key's MAC.
#include "common/protocol/dns_msg.h"
#include "common/protocol/tsig.h"
#include "server/dns_update.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

const char secret[] = "tsig secret of the zorvel tests";

// Every name the message holds reads back the same from its text form.
void check_name_text(const uint8_t *b, size_t size, size_t off) {
    dns_name n;
    size_t next;
    if (!dns_msg_read_name(b, size, off, &n, &next))
        return;
    check(n.len >= 1 && n.len <= DNS_NAME_MAX && next > off && next <= size);
    char text[DNS_NAME_MAX * 4 + 1];
    size_t tl = dns_msg_name_to_text(&n, text, sizeof text);
    check(tl != 0);
    dns_name back;
    check(dns_msg_name_from_text(&back, text, tl));
    check(back.len == n.len && std::memcmp(back.wire, n.wire, n.len) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size heap copy, so a read one byte past the answer hits the
    // sanitizer's redzone.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    if (size != 0)
        std::memcpy(buf.get(), data, size);
    const uint8_t *b = buf.get();

    if (size > DNS_HEADER_LEN)
        check_name_text(b, size, DNS_HEADER_LEN);
    dns_msg_answer a{};
    if (!dns_msg_parse(b, size, &a))
        return 0;
    check(size >= DNS_HEADER_LEN);
    const uint8_t req_mac[TSIG_MAC_MAX] = {1, 2, 3};
    tsig_key k{};
    k.name = a.tsig_key; // the right name, so the check goes as far as the MAC
    k.alg = tsig_alg::hmac_sha256;
    k.secret = reinterpret_cast<const uint8_t *>(secret);
    k.secret_len = sizeof secret - 1;
    // Whatever the update makes of it, it is never a success; without a
    // TSIG record it is at most an unsigned error that names no TSIG error.
    dns_update_judgement j =
        dns_update_judge(b, size, a.id, &k, req_mac, tsig_mac_len(k.alg), 0x6b1aadd1);
    check(j.kind != dns_update_judgement::answer);
    if (a.tsig_at == 0) {
        check(j.kind != dns_update_judgement::unsigned_error || j.tsig_error == 0);
        return 0;
    }
    check(a.tsig_at >= DNS_HEADER_LEN && a.tsig_at < a.tsig_rdata);
    check(a.tsig_rdata + a.tsig_rdlen == size);
    check_name_text(b, size, a.tsig_at);

    uint16_t err = 0;
    tsig_verdict v = tsig_verify(b, size, &a, &k, 0x6b1aadd1, req_mac, tsig_mac_len(k.alg), &err);
    // A MAC under this key cannot come out of the fuzzer by chance.
    check(v != tsig_verdict::valid);
    if (v == tsig_verdict::unsigned_error)
        check(err != 0);
    return 0;
}
