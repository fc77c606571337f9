// The update datagram codec. Both sides handle hostile or foreign bytes here:
// every read is checked against the remaining length first.
#include "common/protocol/update_msg.h"

#include "common/process/log.h"
#include "common/protocol/hmac_sha1.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

namespace {

constexpr char alg_tag[] = {'s', 'h', 'a', '-', '1'};
constexpr size_t tag_len = sizeof alg_tag;
constexpr size_t addr_len = 4;
constexpr size_t addr6_len = 16;
// What follows the name's NUL in an IPv6 datagram: address, NUL, MAC, tag.
constexpr size_t tail6_len = addr6_len + 1 + HMAC_SHA1_LEN + tag_len;

size_t too_short_for_encoding() {
    log_msg_buffer_too_short();
    return 0;
}

size_t truncated() {
    log_msg_too_short();
    return 0;
}

} // namespace

size_t update_msg_encode(uint8_t *buf, size_t size, update_msg *msg, const void *key,
                         size_t key_len) {
    if (buf == nullptr || msg == nullptr || size == 0)
        return too_short_for_encoding();
    if (msg->name == nullptr && msg->name_len != 0)
        return too_short_for_encoding();

    size_t pos = 0;
    if (msg->time > 0) {
        auto v = static_cast<uint64_t>(msg->time);
        while (v != 0) {
            buf[pos++] = static_cast<uint8_t>('0' + v % 10);
            v /= 10;
            if (pos == size)
                return too_short_for_encoding();
        }
        std::reverse(buf, buf + pos);
    }
    buf[pos++] = 0;

    // Name, its NUL and at least one byte more; written so that a huge
    // name_len cannot wrap the sum.
    size_t room = size - pos;
    if (room == 0 || msg->name_len >= room - 1)
        return too_short_for_encoding();
    if (msg->name_len != 0)
        std::memcpy(buf + pos, msg->name, msg->name_len);
    pos += msg->name_len;
    buf[pos++] = 0;

    const bool v6 = msg->family == AF_INET6;
    const size_t alen = v6 ? addr6_len : addr_len;
    if (size - pos < alen + 1)
        return too_short_for_encoding();
    std::memcpy(buf + pos, v6 ? msg->addr6 : msg->addr, alen);
    pos += alen;
    buf[pos++] = 0;

    hmac_sha1(msg->mac, buf, pos, key, key_len);

    if (size - pos < HMAC_SHA1_LEN + tag_len)
        return too_short_for_encoding();
    std::memcpy(buf + pos, msg->mac, HMAC_SHA1_LEN);
    std::memcpy(buf + pos + HMAC_SHA1_LEN, alg_tag, tag_len);
    return pos + HMAC_SHA1_LEN + tag_len;
}

size_t update_msg_decode(update_msg *msg, const uint8_t *buf, size_t len) {
    if (msg == nullptr)
        return 0;
    if (buf == nullptr)
        return truncated();

    // No overflow check: a field of more than 19 digits wraps, and the
    // receiver's time window turns such a message away.
    size_t pos = 0;
    uint64_t t = 0;
    while (pos < len && buf[pos] >= '0' && buf[pos] <= '9')
        t = t * 10 + static_cast<uint64_t>(buf[pos++] - '0');
    if (pos == len)
        return truncated();
    if (buf[pos] != 0) {
        log_msg_invalid_packet();
        return 0;
    }
    msg->time = static_cast<time_t>(t);
    pos++;

    const void *nul = pos < len ? std::memchr(buf + pos, 0, len - pos) : nullptr;
    if (nul == nullptr)
        return truncated();
    const auto *name_end = static_cast<const uint8_t *>(nul);
    msg->name = reinterpret_cast<const char *>(buf + pos);
    msg->name_len = static_cast<size_t>(name_end - (buf + pos));
    pos += msg->name_len + 1;

    // An IPv4 datagram has exactly 30 bytes here, so the two shapes never
    // meet, and a server that knows only IPv4 refuses this one.
    if (len - pos == tail6_len && buf[pos + addr6_len] == 0 &&
        std::memcmp(buf + len - tag_len, alg_tag, tag_len) == 0) {
        msg->family = AF_INET6;
        std::memcpy(msg->addr6, buf + pos, addr6_len);
        std::memset(msg->addr, 0, addr_len);
        pos += addr6_len + 1;
        std::memcpy(msg->mac, buf + pos, HMAC_SHA1_LEN);
        return pos;
    }

    if (len - pos < addr_len + 1 || buf[pos + addr_len] != 0)
        return truncated();
    msg->family = AF_INET;
    std::memcpy(msg->addr, buf + pos, addr_len);
    std::memset(msg->addr6, 0, addr6_len);
    pos += addr_len + 1;

    if (len - pos < HMAC_SHA1_LEN + tag_len ||
        std::memcmp(buf + pos + HMAC_SHA1_LEN, alg_tag, tag_len) != 0) {
        log_msg_hmac_decoding_error();
        return 0;
    }
    std::memcpy(msg->mac, buf + pos, HMAC_SHA1_LEN);
    if (len - pos > HMAC_SHA1_LEN + tag_len)
        return 0;
    return pos;
}
