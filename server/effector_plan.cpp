// Effector plans: an account's effector list read once into typed steps.
#include "server/effector_plan.h"

#include "common/process/log.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

void release(effector_plan *p) {
    for (uint32_t i = 0; i < p->nsteps; i++)
        delete p->steps[i].dns;
    free(p->steps);
    sx_free(&p->forms);
    free(p->name);
    delete p;
}

} // namespace

const sx_node *effector_form_keyword(const sx_node *n, const sx_node **args) {
    *args = nullptr;
    if (!sx_is_list(n))
        return n;
    const sx_node *kw = sx_first(n);
    if (kw == nullptr || sx_is_list(kw))
        return nullptr;
    *args = kw->next;
    return kw;
}

bool effector_form_read(const sx_node *n, const char *name, size_t name_len, effector_step *out,
                        dns_update_conf *dns, dns_update_fault *why) {
    const sx_node *args = nullptr;
    const sx_node *kw = effector_form_keyword(n, &args);
    if (kw == nullptr)
        return false;
    *out = effector_step{};
    out->keyword = kw;
    out->args = args;
    if (sx_atom_is(kw, "kill"))
        out->kind = effector_kind::kill;
    else if (sx_atom_is(kw, "system"))
        out->kind = effector_kind::system;
    else if (sx_atom_is(kw, "zone"))
        out->kind = effector_kind::zone;
    else if (!sx_atom_is(kw, "dns-update"))
        out->kind = effector_kind::unknown;
    else if (dns == nullptr || dns_update_read(args, name, name_len, dns, why))
        out->kind = effector_kind::dns_update;
    else
        out->kind = effector_kind::dns_invalid;
    return true;
}

uint64_t effector_step_bit(uint32_t i) {
    return i < 63 ? uint64_t{1} << i : uint64_t{1} << 63;
}

effector_plan *effector_plan_build(const sx_node *list, const char *name, size_t name_len) {
    uint32_t count = 0;
    for (const sx_node *n = list; n != nullptr && count < UINT32_MAX; n = n->next) {
        const sx_node *args = nullptr;
        if (effector_form_keyword(n, &args) != nullptr)
            count++;
    }
    if (count == 0)
        return nullptr;
    auto *p = new (std::nothrow) effector_plan{};
    if (p == nullptr) {
        log_effector_plan_alloc_failed(name, name_len);
        return nullptr;
    }
    p->refs = 1;
    if (name_len > 0) {
        p->name = static_cast<char *>(malloc(name_len));
        if (p->name != nullptr) {
            memcpy(p->name, name, name_len);
            p->name_len = name_len;
        }
    }
    sx_dup(&p->forms, list);
    p->steps = static_cast<effector_step *>(calloc(count, sizeof(effector_step)));
    if ((name_len > 0 && p->name == nullptr) || p->forms.nsize == 0 || p->steps == nullptr) {
        log_effector_plan_alloc_failed(name, name_len);
        release(p);
        return nullptr;
    }
    for (const sx_node *n = &p->forms.nodes[0]; n != nullptr; n = n->next) {
        // The secret points into the plan's own atom, which lives as long
        // as the read form.
        auto *dns = new (std::nothrow) dns_update_conf;
        dns_update_fault why;
        effector_step &s = p->steps[p->nsteps];
        if (!effector_form_read(n, name, name_len, &s, dns, &why)) {
            delete dns;
            continue;
        }
        p->nsteps++;
        if (s.kind == effector_kind::dns_update && dns != nullptr)
            s.dns = dns;
        else
            delete dns;
        // Without memory for its settings the form cannot run.
        if (s.kind == effector_kind::dns_update && s.dns == nullptr)
            s.kind = effector_kind::dns_invalid;
    }
    return p;
}

void effector_plan_hold(effector_plan *p) {
    if (p != nullptr)
        p->refs++;
}

void effector_plan_drop(effector_plan *p) {
    if (p != nullptr && --p->refs == 0)
        release(p);
}

uint64_t effector_plan_dns_steps(const effector_plan *p) {
    uint64_t m = 0;
    for (uint32_t i = 0; p != nullptr && i < p->nsteps; i++)
        if (p->steps[i].kind == effector_kind::dns_update)
            m |= effector_step_bit(i);
    return m;
}
