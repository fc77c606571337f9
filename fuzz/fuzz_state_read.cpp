// Arbitrary bytes as a state file read against a small account table: the
// file is taken whole or not at all, every account it yields is up at a real
// address, and pending work comes only from a file taken whole. Only read:
// carrying it onto the table would run the effectors that the bytes name.
#include "common/process/log.h"
#include "server/account.h"
#include "server/state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void quiet(int, const char *) {}

void check(bool ok) {
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_set_sink(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char names[][4] = {{'a', 0, 'b', 0}, {'h', 'o', 'm', 'e'}, {'9', 'l', 'i', 'v'}};
    account table[3] = {};
    const uint64_t lens[3] = {3, 4, 4};
    for (int i = 0; i < 3; i++) {
        table[i].name = names[i];
        table[i].name_len = lens[i];
    }
    qsort(table, 3, sizeof(account), account_cmp);
    array accounts = {};
    array_init(&accounts, sizeof(account));
    accounts.data = table;
    accounts.count = 3;
    accounts.capacity = 3;

    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (f == nullptr)
        return 0;
    state_records recs;
    int rc_recs = state_records_read(f, "fuzz", &recs);
    for (int32_t i = 0; rc_recs == 0 && i < recs.records.count; i++) {
        const auto *e = static_cast<const state_record *>(array_get(&recs.records, i));
        check(!e->pending || e->steps != 0);
    }
    check(rc_recs == 0 || recs.records.count == 0);
    state_records_free(&recs);
    rewind(f);
    array written;
    array_init(&written, sizeof(account));
    int rc = state_read(f, "fuzz", &accounts, &written);
    fclose(f);
    check(rc == 0 || written.count == 0);
    for (int32_t i = 0; i < written.count; i++) {
        const auto *a = static_cast<const account *>(array_get(&written, i));
        bool up = (a->flags & ACCOUNT_UP) != 0;
        bool up6 = (a->flags & ACCOUNT_UP6) != 0;
        check(a->name_len > 0 && (up || up6));
        check(up == ((a->address[0] | a->address[1] | a->address[2] | a->address[3]) != 0));
        if (i > 0)
            check(account_cmp(array_get(&written, i - 1), a) <= 0);
    }
    state_release(&written);
    return 0;
}
