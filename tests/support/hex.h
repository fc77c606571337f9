// Hex text of bytes and back, for known-answer tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline std::string hex_of(const void *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const uint8_t *>(data);
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string hex_of(std::string_view s) {
    return hex_of(s.data(), s.size());
}

// Bytes of a hex text; blanks and line breaks between the pairs are skipped.
inline std::string bytes_of_hex(std::string_view h) {
    auto val = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string out;
    int pending = -1;
    for (char c : h) {
        if (c == ' ' || c == '\n' || c == '\t')
            continue;
        if (pending < 0) {
            pending = val(c);
        } else {
            out += static_cast<char>(pending * 16 + val(c));
            pending = -1;
        }
    }
    return out;
}
