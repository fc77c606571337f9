// A batch of zone text updates on arbitrary text: when the batch works the
// updates out in one reading, it must give to the byte the text (and the
// statuses) of the same updates applied one after the other.
#include "server/zone_text.h"
#include "tests/support/zone_text_in_turn.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte gives the count, the next ones pick the updates, the
    // rest is the zone.
    size_t n = 1 + data[0] % 6;
    if (size < 1 + n)
        return 0;
    static const char *const names[] = {"host", "a", "Host", "SOA", "mail", "www", "in", "new"};
    static const char *const types[] = {"A", "AAAA"};
    static const char *const addrs[] = {"10.0.0.7", "2001:db8::7", "10.0.0.8", "2001:db8::8"};
    std::vector<zone_text_record> recs;
    for (size_t i = 0; i < n; i++) {
        uint8_t pick = data[1 + i];
        bool gone = (pick & 0x80) != 0;
        int type = (pick >> 3) & 1;
        const char *addr = gone ? (type ? "::" : "0.0.0.0") : addrs[type + ((pick >> 4) & 1) * 2];
        recs.push_back({names[pick & 7], types[type], addr, gone});
    }
    std::string_view text(reinterpret_cast<const char *>(data + 1 + n), size - 1 - n);
    constexpr zone_text_date today{2026, 12, 10};
    std::string why;
    if (zone_text_batch_compare(text, recs, today, &why) == zone_text_batch_check::differs) {
        fprintf(stderr, "%s\n", why.c_str());
        abort();
    }
    return 0;
}
