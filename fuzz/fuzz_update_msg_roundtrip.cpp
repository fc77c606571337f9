// Every datagram the decoder accepts, IPv4 or IPv6, re-encodes to the same
// bytes.
//
// The encoder signs what it writes, and the fuzzer's bytes carry no valid
// MAC, so the expected datagram is the input re-signed: its prefix, the
// HMAC of that prefix under a fixed key, and the tag. The decoder also takes
// time fields the encoder never writes (leading zeros, an empty field for a
// positive time, more than 19 digits that wrap); for those the expected
// prefix carries the decoded time's own digits and is otherwise the input's.
#include "common/process/log.h"
#include "common/protocol/hmac_sha1.h"
#include "common/protocol/update_msg.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

const char key[] = "fuzz-roundtrip-key";
constexpr size_t key_len = sizeof key - 1;

void quiet(int, const char *) {}

void check(bool ok) {
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_sink(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[size]);
    if (size != 0)
        std::memcpy(in.get(), data, size);

    update_msg m{};
    size_t r = update_msg_decode(&m, in.get(), size);
    if (r == 0)
        return 0;

    // The expected datagram: canonical digits, then the input from the time
    // field's NUL up to the MAC, then the MAC over that prefix and the tag.
    const size_t alen = m.family == AF_INET6 ? 16 : 4;
    const size_t digits = r - m.name_len - alen - 3;
    const std::string canon = m.time > 0 ? std::to_string(m.time) : std::string();
    std::vector<uint8_t> want(canon.begin(), canon.end());
    want.insert(want.end(), in.get() + digits, in.get() + r);
    const size_t prefix = want.size();
    uint8_t mac[HMAC_SHA1_LEN];
    hmac_sha1(mac, want.data(), prefix, key, key_len);
    want.insert(want.end(), mac, mac + sizeof mac);
    want.insert(want.end(), {'s', 'h', 'a', '-', '1'});
    if (canon.size() == digits)
        check(std::memcmp(want.data(), in.get(), r) == 0);

    // Into a buffer of exactly that size (so any overrun hits the redzone),
    // then one byte short.
    update_msg e = m;
    std::unique_ptr<uint8_t[]> out(new uint8_t[want.size()]);
    check(update_msg_encode(out.get(), want.size(), &e, key, key_len) == want.size());
    check(std::memcmp(out.get(), want.data(), want.size()) == 0);
    check(std::memcmp(e.mac, mac, sizeof mac) == 0);
    std::unique_ptr<uint8_t[]> small(new uint8_t[want.size() - 1]);
    check(update_msg_encode(small.get(), want.size() - 1, &e, key, key_len) == 0);

    // And the re-encoded datagram decodes to the same record.
    update_msg d{};
    check(update_msg_decode(&d, out.get(), want.size()) == prefix);
    check(d.time == (m.time > 0 ? m.time : 0) && d.name_len == m.name_len);
    check(std::memcmp(d.name, m.name, m.name_len) == 0);
    check(d.family == m.family);
    check(std::memcmp(d.addr, m.addr, 4) == 0 && std::memcmp(d.addr6, m.addr6, 16) == 0);
    check(std::memcmp(d.mac, mac, sizeof mac) == 0);
    return 0;
}
