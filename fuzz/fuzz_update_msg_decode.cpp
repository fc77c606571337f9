// Arbitrary bytes as a received datagram: the decoder must never read
// outside them, and what it accepts must be a well-formed datagram of
// either family.
#include "common/process/log.h"
#include "common/protocol/hmac_sha1.h"
#include "common/protocol/update_msg.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/socket.h>

namespace {

int g_records;

void count_record(int, const char *) {
    g_records++;
}

void check(bool ok) {
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_sink(count_record);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size heap copy, so a read one byte past the datagram hits
    // the sanitizer's redzone.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
    if (size != 0)
        std::memcpy(buf.get(), data, size);
    const uint8_t *b = buf.get();

    g_records = 0;
    update_msg m{};
    size_t r = update_msg_decode(&m, b, size);
    if (r == 0) {
        // One record, or none for bytes after the tag.
        check(g_records <= 1);
        return 0;
    }
    check(g_records == 0);
    // Prefix, 20 MAC bytes, the tag, and nothing after it.
    check(r + HMAC_SHA1_LEN + 5 == size);
    check(std::memcmp(b + r + HMAC_SHA1_LEN, "sha-1", 5) == 0);
    check(std::memcmp(m.mac, b + r, HMAC_SHA1_LEN) == 0);
    // The name lies inside the prefix, ends at a NUL and holds none;
    // the address of the family sits between two NULs just before the MAC,
    // and the other family's address is cleared.
    check(m.family == AF_INET || m.family == AF_INET6);
    const bool six = m.family == AF_INET6;
    const size_t alen = six ? 16 : 4;
    const uint8_t *addr = six ? m.addr6 : m.addr;
    static const uint8_t zero[16] = {};
    check(std::memcmp(six ? m.addr : m.addr6, zero, six ? 4 : 16) == 0);
    const auto *name = reinterpret_cast<const uint8_t *>(m.name);
    check(name > b && m.name_len <= r - alen - 3 && name + m.name_len + alen + 2 == b + r);
    check(name[-1] == 0 && name[m.name_len] == 0);
    check(m.name_len == 0 || std::memchr(name, 0, m.name_len) == nullptr);
    check(std::memcmp(addr, b + r - alen - 1, alen) == 0 && b[r - 1] == 0);
    if (r - m.name_len - alen - 3 == 0)
        check(m.time == 0);
    return 0;
}
