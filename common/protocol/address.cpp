// Address texts. Parsing reads hostile bytes (sensor output, configuration),
// so every read is checked against the text's end first.
#include "common/protocol/address.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends to t at *pos what the format gives; the buffer is sized for the
// longest address, so nothing is ever cut.
__attribute__((format(printf, 3, 4))) void append(address_text *t, size_t *pos, const char *fmt,
                                                  ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t->s + *pos, sizeof t->s - *pos, fmt, ap);
    va_end(ap);
    if (n > 0)
        *pos += static_cast<size_t>(n);
}

} // namespace

address_text address_format4(const uint8_t addr[4]) {
    address_text t{};
    snprintf(t.s, sizeof t.s, "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
    return t;
}

address_text address_format6(const uint8_t addr[16]) {
    address_text t{};
    size_t pos = 0;
    static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(addr, mapped, sizeof mapped) == 0) {
        append(&t, &pos, "::ffff:%u.%u.%u.%u", addr[12], addr[13], addr[14], addr[15]);
        return t;
    }
    unsigned group[8];
    for (int i = 0; i < 8; i++)
        group[i] = static_cast<unsigned>(addr[2 * i] << 8 | addr[2 * i + 1]);

    // The longest run of zero groups; a later run must be strictly longer
    // to win, and a single zero group is never compressed.
    int best = -1, best_len = 1;
    for (int i = 0; i < 8;) {
        if (group[i] != 0) {
            i++;
            continue;
        }
        int j = i;
        while (j < 8 && group[j] == 0)
            j++;
        if (j - i > best_len) {
            best = i;
            best_len = j - i;
        }
        i = j;
    }

    for (int i = 0; i < 8; i++) {
        if (i == best) {
            append(&t, &pos, "::");
            i += best_len - 1;
            continue;
        }
        // No colon right after "::" and none before the first group.
        bool after_gap = best >= 0 && i == best + best_len;
        append(&t, &pos, i == 0 || after_gap ? "%x" : ":%x", group[i]);
    }
    return t;
}

address_text address_format(int family, const uint8_t *addr) {
    if (family == AF_INET)
        return address_format4(addr);
    if (family == AF_INET6)
        return address_format6(addr);
    address_text t{};
    t.s[0] = '?';
    return t;
}

int address_parse4(uint8_t addr[4], std::string_view text) {
    uint8_t out[4];
    size_t i = 0;
    for (int k = 0; k < 4; k++) {
        if (k > 0) {
            if (i == text.size() || text[i] != '.')
                return -1;
            i++;
        }
        size_t start = i;
        unsigned v = 0;
        while (i < text.size() && i - start < 3 && text[i] >= '0' && text[i] <= '9')
            v = v * 10 + static_cast<unsigned>(text[i++] - '0');
        size_t digits = i - start;
        // A leading zero could be read as octal elsewhere; refuse the doubt.
        if (digits == 0 || v > 255 || (digits > 1 && text[start] == '0'))
            return -1;
        out[k] = static_cast<uint8_t>(v);
    }
    if (i != text.size())
        return -1;
    memcpy(addr, out, sizeof out);
    return 0;
}

int address_parse6(uint8_t addr[16], std::string_view text) {
    uint8_t out[16] = {};
    size_t n = 0; // bytes of groups read so far
    int gap = -1; // byte offset at which "::" stands
    size_t i = 0;
    const size_t len = text.size();
    if (len >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    }
    while (i < len) {
        size_t start = i;
        unsigned v = 0;
        while (i < len && i - start < 5 && hex_value(text[i]) >= 0)
            v = v << 4 | static_cast<unsigned>(hex_value(text[i++]));
        if (i < len && text[i] == '.') {
            // A dotted quad ends the text and fills the last 4 bytes.
            if (n > 12 || address_parse4(out + n, text.substr(start)) < 0)
                return -1;
            n += 4;
            i = len;
            break;
        }
        if (i == start || i - start > 4 || n == 16)
            return -1;
        out[n++] = static_cast<uint8_t>(v >> 8);
        out[n++] = static_cast<uint8_t>(v);
        if (i == len)
            break;
        if (text[i] != ':')
            return -1;
        i++;
        if (i < len && text[i] == ':') {
            if (gap >= 0)
                return -1;
            gap = static_cast<int>(n);
            i++;
        } else if (i == len) {
            return -1; // a lone trailing colon
        }
    }
    if (gap < 0) {
        if (n != 16)
            return -1;
    } else {
        // "::" stands for at least one zero group.
        if (n > 14)
            return -1;
        size_t tail = n - static_cast<size_t>(gap);
        memmove(out + 16 - tail, out + gap, tail);
        memset(out + gap, 0, 16 - n);
    }
    memcpy(addr, out, sizeof out);
    return 0;
}
