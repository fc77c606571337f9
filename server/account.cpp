// The account record, its options and the account name order.
#include "server/account.h"

#include "common/process/log.h"
#include "common/protocol/update_msg.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

uint8_t fold(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

// Keywords and flag words are matched on the atom's exact bytes, so an atom
// with a NUL inside never passes for the word before the NUL.
std::string_view atom_bytes(const sx_node *n) {
    return {sx_text(n), n->len};
}

// A number option's value. Everything after the digits must be consumed,
// NUL bytes included, or the value is malformed.
int32_t option_number(const sx_node *v) {
    if (sx_is_list(v))
        return -1;
    const char *text = sx_text(v);
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (end != text + v->len || n < 0)
        return -1;
    // strtol already gives LONG_MAX for digits that overflow long, so every
    // value too large for the field ends up at the field's largest value.
    if (n > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(n);
}

// Replaces *bytes/*len with a copy of the atom; a failed allocation leaves
// the field empty.
template <typename T> void set_bytes(T **bytes, uint64_t *len, const void *src, size_t n) {
    free(*bytes);
    *bytes = nullptr;
    *len = 0;
    if (n == 0)
        return;
    auto *copy = static_cast<T *>(malloc(n));
    if (copy == nullptr)
        return;
    memcpy(copy, src, n);
    *bytes = copy;
    *len = n;
}

struct flag_word {
    std::string_view word;
    uint8_t bit;
    bool set;
};

constexpr flag_word FLAG_WORDS[] = {
    {"allow-unsafe", ACCOUNT_ALLOW_UNSAFE, true},   {"allow_unsafe", ACCOUNT_ALLOW_UNSAFE, true},
    {"forbid-unsafe", ACCOUNT_ALLOW_UNSAFE, false}, {"forbid_unsafe", ACCOUNT_ALLOW_UNSAFE, false},
    {"no-unsafe", ACCOUNT_ALLOW_UNSAFE, false},     {"no_unsafe", ACCOUNT_ALLOW_UNSAFE, false},
    {"no-replay", ACCOUNT_NO_REPLAY, true},         {"no_replay", ACCOUNT_NO_REPLAY, true},
    {"allow-replay", ACCOUNT_NO_REPLAY, false},     {"allow_replay", ACCOUNT_NO_REPLAY, false},
};

const flag_word *find_flag(std::string_view w) {
    const flag_word *found = nullptr;
    for (const flag_word &f : FLAG_WORDS)
        if (f.word == w)
            found = &f;
    return found;
}

void set_flags(account *acct, const sx_node *word) {
    for (; word != nullptr; word = word->next) {
        if (sx_is_list(word))
            continue;
        if (!account_flag_apply(&acct->flags, word))
            log_unknown_account_flag(sx_text(word));
    }
}

// Index of a node of a compact block, or -1 for none.
ptrdiff_t node_index(const sx_block *b, const sx_node *n) {
    return n == nullptr ? -1 : n - b->nodes;
}

} // namespace

void account_init(account *acct) {
    *acct = account{};
    acct->max_future = -1;
    acct->max_past = -1;
    acct->timeout = -1;
}

void account_copy_options(account *dst, const account *tmpl) {
    *dst = account{};
    set_bytes(&dst->name, &dst->name_len, tmpl->name, tmpl->name_len);
    set_bytes(&dst->key, &dst->key_len, tmpl->key, tmpl->key_len);
    dst->max_future = tmpl->max_future;
    dst->max_past = tmpl->max_past;
    dst->timeout = tmpl->timeout;
    dst->flags = tmpl->flags & ACCOUNT_OPTION_FLAGS;
    if (tmpl->effectors.nsize > 0)
        sx_dup(&dst->effectors, &tmpl->effectors.nodes[0]);
}

void account_release(account *acct) {
    if (acct == nullptr)
        return;
    free(acct->name);
    acct->name = nullptr;
    acct->name_len = 0;
    free(acct->key);
    acct->key = nullptr;
    acct->key_len = 0;
    sx_free(&acct->effectors);
    effector_plan_drop(acct->plan);
    acct->plan = nullptr;
}

void account_set_options(account *acct, const sx_node *first) {
    if (acct == nullptr)
        return;
    for (const sx_node *opt = first; opt != nullptr; opt = opt->next) {
        // A statement: a list whose first element is an atom, with a value.
        if (!sx_is_list(opt))
            continue;
        const sx_node *keyword = sx_first(opt);
        if (keyword == nullptr || sx_is_list(keyword) || keyword->next == nullptr)
            continue;
        const sx_node *value = keyword->next;
        std::string_view kw = atom_bytes(keyword);
        if (kw == "name") {
            if (!sx_is_list(value))
                set_bytes(&acct->name, &acct->name_len, value->ptr, value->len);
        } else if (kw == "key") {
            if (!sx_is_list(value))
                set_bytes(&acct->key, &acct->key_len, value->ptr, value->len);
        } else if (kw == "effector") {
            sx_free(&acct->effectors);
            sx_dup(&acct->effectors, value);
        } else if (kw == "interval") {
            acct->max_past = option_number(value);
            acct->max_future = value->next != nullptr ? option_number(value->next) : acct->max_past;
        } else if (kw == "max-future") {
            acct->max_future = option_number(value);
        } else if (kw == "max-past") {
            acct->max_past = option_number(value);
        } else if (kw == "timeout") {
            acct->timeout = option_number(value);
        } else if (kw == "flags" || kw == "flag") {
            set_flags(acct, value);
        } else {
            log_unknown_account_option(sx_text(keyword));
        }
    }
}

int account_name_cmp(const void *a, size_t a_len, const void *b, size_t b_len) {
    if (a_len != b_len) {
        // The lengths' difference; lengths beyond 32 bits, which no name
        // reaches, keep only its sign so the order stays total.
        if (a_len > INT32_MAX || b_len > INT32_MAX)
            return a_len < b_len ? -1 : 1;
        return static_cast<int>(static_cast<int64_t>(a_len) - static_cast<int64_t>(b_len));
    }
    // Every byte counts, NUL included: the length alone bounds the names.
    const auto *p = static_cast<const uint8_t *>(a);
    const auto *q = static_cast<const uint8_t *>(b);
    for (size_t i = 0; i < a_len; i++) {
        uint8_t x = fold(p[i]), y = fold(q[i]);
        if (x != y)
            return x - y;
    }
    return 0;
}

int account_cmp(const void *a, const void *b) {
    const auto *x = static_cast<const account *>(a);
    const auto *y = static_cast<const account *>(b);
    return account_name_cmp(x->name, x->name_len, y->name, y->name_len);
}

int account_msg_cmp(const void *msg, const void *acct) {
    const auto *m = static_cast<const update_msg *>(msg);
    const auto *a = static_cast<const account *>(acct);
    return account_name_cmp(m->name, m->name_len, a->name, a->name_len);
}

bool account_same_effectors(const account *a, const account *b) {
    const sx_block *x = &a->effectors;
    const sx_block *y = &b->effectors;
    if (x->nsize != y->nsize)
        return false;
    // Both are compact preorder copies, so equal forms have equal shapes
    // node by node: the same atoms and the same links by index.
    for (size_t i = 0; i < x->nsize; i++) {
        const sx_node *n = &x->nodes[i];
        const sx_node *m = &y->nodes[i];
        if (n->len != m->len || node_index(x, n->next) != node_index(y, m->next))
            return false;
        if (sx_is_list(n)) {
            if (node_index(x, sx_first(n)) != node_index(y, sx_first(m)))
                return false;
        } else if (n->len > 0 && memcmp(n->ptr, m->ptr, n->len) != 0) {
            return false;
        }
    }
    return true;
}

bool account_flag_apply(uint8_t *flags, const sx_node *word) {
    if (word == nullptr || sx_is_list(word))
        return false;
    const flag_word *found = find_flag(atom_bytes(word));
    if (found == nullptr)
        return false;
    if (found->set)
        *flags |= found->bit;
    else
        *flags &= static_cast<uint8_t>(~found->bit);
    return true;
}

int32_t account_option_number(const sx_node *v) {
    return option_number(v);
}

bool account_flag_known(const sx_node *word) {
    return word != nullptr && !sx_is_list(word) && find_flag(atom_bytes(word)) != nullptr;
}
