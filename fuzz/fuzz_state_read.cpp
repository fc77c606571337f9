// Arbitrary bytes as a state file read back onto a small account table: the
// file is taken whole or not at all, and what it restores is up at a real
// address; pending work only from a file taken whole.
#include "common/process/log.h"
#include "server/account.h"
#include "server/presence.h"
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
    array transitions;
    array_init(&transitions, sizeof(presence_transition));
    int rc = state_read(f, "fuzz", &accounts, &transitions);
    fclose(f);
    // Pending work comes back only from a file taken whole, never for
    // nothing to do.
    check(rc == 0 || transitions.count == 0);
    for (int32_t i = 0; i < transitions.count; i++)
        check(static_cast<presence_transition *>(array_get(&transitions, i))->steps != 0);
    presence_transitions_clear(&transitions);
    array_free(&transitions);
    for (const account &a : table) {
        bool up = (a.flags & ACCOUNT_UP) != 0;
        check(rc == 0 || !up);
        check(up == ((a.address[0] | a.address[1] | a.address[2] | a.address[3]) != 0));
    }
    return 0;
}
