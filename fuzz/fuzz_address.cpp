// Address texts both ways. Arbitrary bytes as text: what parses formats to a
// text that parses to the same bytes and formats to itself. The first bytes
// as an address: its text parses back to it, here and by the system.
#include "common/protocol/address.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/socket.h>

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

void round_trip6(const uint8_t a[16]) {
    const address_text t = address_format6(a);
    check(strlen(t.s) < ADDRESS_TEXT_MAX);
    uint8_t back[16];
    check(address_parse6(back, t.s) == 0 && memcmp(a, back, 16) == 0);
    check(inet_pton(AF_INET6, t.s, back) == 1 && memcmp(a, back, 16) == 0);
    check(strcmp(address_format6(back).s, t.s) == 0);
}

void round_trip4(const uint8_t a[4]) {
    const address_text t = address_format4(a);
    uint8_t back[4];
    check(address_parse4(back, t.s) == 0 && memcmp(a, back, 4) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size heap copy, so a read past the text hits the redzone.
    std::unique_ptr<char[]> copy(new char[size]);
    if (size != 0)
        memcpy(copy.get(), data, size);
    const std::string_view text(copy.get(), size);

    uint8_t a6[16];
    if (address_parse6(a6, text) == 0)
        round_trip6(a6);
    uint8_t a4[4];
    if (address_parse4(a4, text) == 0) {
        round_trip4(a4);
        // Only the canonical form is accepted, so the text comes back as it was.
        check(text == address_format4(a4).s);
    }
    if (size >= 16)
        round_trip6(data);
    if (size >= 4)
        round_trip4(data);
    return 0;
}
