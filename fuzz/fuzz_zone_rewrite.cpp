// The zone text rewrite on arbitrary text. Besides memory errors it checks
// what an operator relies on: every line but the record line is kept, the
// serial digits and, on a timeout, the owner written before the first line
// after it apart; a new record line is one line inserted (after an $ORIGIN
// line at most); the serial goes up; and the record line written is the one
// found next time (the same update is then no change).
#include "server/zone_text.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

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

// The lines of s, each ended by a CR LF, a CR or an LF, as the zone
// reads them (a run of line breaks is a run of empty lines here).
std::vector<std::string_view> lines(std::string_view s) {
    std::vector<std::string_view> v;
    while (!s.empty()) {
        size_t n = s.find_first_of("\r\n");
        v.push_back(s.substr(0, n));
        if (n == std::string_view::npos)
            break;
        s.remove_prefix(n + (s.compare(n, 2, "\r\n") == 0 ? 2 : 1));
    }
    return v;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
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

    // Apart from the serial, the lines that differ: none in the text and
    // the new record line (after an $ORIGIN line) in the result, or the
    // record line and, on a timeout, the first ownerless line after it,
    // which gains the owner as the record line writes it.
    std::string expect(text);
    expect.replace(out.serial_at, out.old_len, new_serial);
    std::vector<std::string_view> was = lines(expect);
    std::vector<std::string_view> now = lines(result);
    size_t pre = 0;
    while (pre < was.size() && pre < now.size() && was[pre] == now[pre])
        pre++;
    size_t suf = 0;
    while (suf < was.size() - pre && suf < now.size() - pre &&
           was[was.size() - 1 - suf] == now[now.size() - 1 - suf])
        suf++;
    was = std::vector<std::string_view>(was.begin() + pre, was.end() - suf);
    now = std::vector<std::string_view>(now.begin() + pre, now.end() - suf);
    std::string line = std::string(rec.name) + " IN " + std::string(rec.type) + " ";
    line += rec.addr;
    // The record line already right but last, without a line break: the
    // rewrite gives it its break, and that is all that differs.
    if (was.empty() && now.empty()) {
        require(result == expect + "\n");
        return 0;
    }
    bool appended = was.empty();
    if (appended) {
        require(now.size() == 1 || (now.size() == 2 && now[0].rfind("$ORIGIN ", 0) == 0));
        require(now.back() == line);
    } else {
        require(was.size() == now.size());
        require(now[0].find(rec.addr) != std::string_view::npos &&
                (now[0].rfind("; ", 0) == 0) == gone);
        if (now.size() > 1) {
            require(gone);
            for (size_t i = 1; i + 1 < now.size(); i++)
                require(was[i] == now[i]);
            std::string_view last = was.back();
            require(!last.empty() && (last[0] == ' ' || last[0] == '\t'));
            require(now.back().size() == rec.name.size() + last.size() &&
                    equal_nocase(now.back().substr(0, rec.name.size()), rec.name) &&
                    now.back().substr(rec.name.size()) == last);
        }
    }

    // The same update again finds the line it wrote and changes nothing;
    // another address finds it and the new serial.
    // Only a line appended inside a parenthesis the zone never closes (it
    // does not load in any case) is not found again; it is added again.
    // Gone, the line is no longer live; only another live line of the name
    // is left to be commented out.
    zone_text_out again;
    zone_text_status st1 = rewrite(result, rec, &again);
    if (gone) {
        require(st1 != zone_text_status::unchanged && st1 != zone_text_status::no_serial);
    } else if (st1 != zone_text_status::unchanged) {
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
