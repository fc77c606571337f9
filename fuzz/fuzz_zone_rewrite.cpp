// The zone text rewrite on arbitrary text. Besides memory errors it checks
// what an operator relies on: every byte outside the record line and the
// serial digits is kept, the serial goes up, and the record line written is
// the one found next time (the same update is then no change).
#include "server/zone_text.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr zone_text_date today{2026, 12, 10};

void require(bool ok) {
    if (!ok)
        abort();
}

std::string joined(const zone_text_out &out) {
    std::string s;
    for (size_t i = 0; i < out.nparts; i++)
        s.append(out.parts[i].data(), out.parts[i].size());
    return s;
}

uint64_t value(std::string_view digits) {
    uint64_t v = 0;
    for (char c : digits)
        v = v * 10 + static_cast<uint64_t>(c - '0');
    return v;
}

bool has_break(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

zone_text_status rewrite(std::string_view text, const zone_text_record &rec, zone_text_out *out) {
    return zone_text_rewrite(std::span<const char>(text.data(), text.size()), rec, today, out);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the update, the rest is the zone.
    static const char *const names[] = {"host", "a", "A", "SOA", "@", "h-1.example.", "in", "1h"};
    static const char *const types[] = {"A", "AAAA"};
    static const char *const addrs[] = {"10.0.0.7", "2001:db8::7"};
    uint8_t pick = data[0];
    bool gone = (pick & 0x80) != 0;
    int type = (pick >> 3) & 1;
    zone_text_record rec{names[pick & 7], types[type], gone ? "0.0.0.0" : addrs[type], gone};
    std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);

    zone_text_out out;
    zone_text_status st = rewrite(text, rec, &out);
    if (st != zone_text_status::rewrite)
        return 0;
    std::string result = joined(out);

    // The serial went up.
    std::string_view old_serial = text.substr(out.serial_at, out.old_len);
    std::string_view new_serial(out.serial, out.serial_len);
    require(value(new_serial) > value(old_serial) && value(new_serial) <= UINT32_MAX);

    // Apart from the serial, the text is kept but for one line, or has one
    // line added at its end.
    std::string expect(text);
    expect.replace(out.serial_at, out.old_len, new_serial);
    bool appended = result.compare(0, expect.size(), expect) == 0;
    if (appended) {
        std::string_view added = std::string_view(result).substr(expect.size());
        if (!added.empty() && added[0] == '\n' && !expect.empty() && expect.back() != '\n' &&
            expect.back() != '\r')
            added.remove_prefix(1);
        require(added.size() > 1 && !has_break(added.substr(0, added.size() - 1)) &&
                added.back() == '\n');
    } else {
        size_t pre = 0;
        while (pre < expect.size() && pre < result.size() && expect[pre] == result[pre])
            pre++;
        size_t suf = 0;
        while (suf < expect.size() - pre && suf < result.size() - pre &&
               expect[expect.size() - 1 - suf] == result[result.size() - 1 - suf])
            suf++;
        std::string_view was = std::string_view(expect).substr(pre, expect.size() - pre - suf);
        std::string_view now = std::string_view(result).substr(pre, result.size() - pre - suf);
        require(!has_break(was));
        if (has_break(now))
            require(now.back() == '\n' && !has_break(now.substr(0, now.size() - 1)) &&
                    pre + was.size() == expect.size());
    }

    // The same update again finds the line it wrote and changes nothing;
    // another address finds it and the new serial.
    // Only a line appended inside a parenthesis the zone never closes (it
    // does not load in any case) is not found again; it is appended again.
    zone_text_out again;
    zone_text_status st1 = rewrite(result, rec, &again);
    if (st1 != zone_text_status::unchanged) {
        require(appended &&
                (st1 == zone_text_status::invalid_serial ||
                 (st1 == zone_text_status::rewrite && joined(again).size() > result.size())));
    }
    zone_text_record other = rec;
    other.gone = false;
    other.addr = "192.0.2.1";
    zone_text_status st2 = rewrite(result, other, &again);
    require(st2 == zone_text_status::rewrite || st2 == zone_text_status::invalid_serial);
    require(std::string_view(result).substr(again.serial_at, again.old_len) == new_serial);
    return 0;
}
