// Route netlink address messages, as the kernel or anyone able to send to
// the client's socket might lay them out. The walk never reads past the
// buffer (the sanitizers watch an exact-size copy), and every record it
// reports is whole: a known type and an address of at most 16 bytes.
#include "client/netlink.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool ok) {
    if (!ok)
        abort();
}

void visit(const netlink_addr *rec, void *ctx) {
    check(rec->type == NETLINK_NEWADDR || rec->type == NETLINK_DELADDR);
    check(rec->addr_len <= sizeof rec->addr);
    for (size_t i = rec->addr_len; i < sizeof rec->addr; i++)
        check(rec->addr[i] == 0);
    ++*static_cast<size_t *>(ctx);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    if (size != 0)
        memcpy(copy.get(), data, size);
    size_t seen = 0;
    int err = 0;
    int rc = netlink_parse(copy.get(), size, visit, &seen, &err);
    check(rc >= -1 && rc <= 1);
    // Each record takes a 16-byte header and an 8-byte body at least.
    check(seen <= size / 24);
    return 0;
}
