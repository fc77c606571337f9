// Arbitrary bytes as the options of a dns-update form: reading them logs
// nothing, and a form that reads holds an owner inside its zone and values
// within their ranges; one that does not says why in a bounded text.
#include "common/csexp/sx_reader.h"
#include "common/process/log.h"
#include "server/dns_update.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int logged = 0;

void count(int, const char *) {
    logged++;
}

void check(bool ok) {
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_sink(count);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (f == nullptr)
        return 0;
    sx_block tree{};
    int rc = sx_read_file(&tree, f, 4096, 4096, 64);
    fclose(f);
    if (rc != 0 || tree.nsize == 0) {
        sx_free(&tree);
        return 0;
    }
    logged = 0;
    dns_update_conf c;
    dns_update_fault why;
    if (dns_update_read(&tree.nodes[0], "home", 4, &c, &why)) {
        check(dns_msg_name_within(&c.owner, &c.zone));
        check(c.host[0] != '\0' && c.port[0] != '\0');
        check(c.ttl <= 2147483647u);
        check(c.wait_ms >= 1 && c.wait_ms <= DNS_UPDATE_MAX_WAIT);
        check(c.key.secret != nullptr && c.key.secret_len > 0);
    } else {
        check(why.what != nullptr && why.zone != nullptr);
        check(memchr(why.value, '\0', sizeof why.value) != nullptr);
    }
    check(logged == 0);
    sx_free(&tree);
    return 0;
}
