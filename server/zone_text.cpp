// Zone text rewrite. The zone is read as text, not loaded: the record line is
// recognised by the shape of an address record, and the serial by the
// record structure of the zone up to its first SOA, so comments, TXT data and
// other records are never taken for either, and any layout an operator keeps
// by hand survives an update.
#include "server/zone_text.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

using text_span = std::span<const char>;

bool is_break(char c) {
    return c == '\n' || c == '\r';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// Whether c is one of the bytes of set; never the NUL that ends it.
bool is_one_of(char c, std::string_view set) {
    return set.find(c) != std::string_view::npos;
}
char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// A TTL as the master file format writes it: digits, each run optionally
// followed by a unit letter (300, 1h, 1h30m, 2w).
bool is_ttl(std::string_view t) {
    if (t.empty() || !is_digit(t[0]))
        return false;
    for (size_t i = 0; i < t.size(); i++) {
        if (is_digit(t[i]))
            continue;
        if (!is_one_of(t[i], "sSmMhHdDwW") || !is_digit(t[i - 1]))
            return false;
    }
    return true;
}

bool is_class(std::string_view t) {
    return equal_nocase(t, "IN") || equal_nocase(t, "CH") || equal_nocase(t, "HS") ||
           equal_nocase(t, "CS");
}

bool is_ttl_or_class(std::string_view t) {
    return is_ttl(t) || is_class(t);
}

size_t skip_blanks(const char *t, size_t len, size_t i) {
    while (i < len && is_blank(t[i]))
        i++;
    return i;
}

size_t line_end(const char *t, size_t len, size_t i) {
    while (i < len && !is_break(t[i]))
        i++;
    return i;
}

// The word at i on one line: up to a blank, a line break or the end.
std::string_view line_word(const char *t, size_t len, size_t i) {
    size_t e = i;
    while (e < len && !is_blank(t[e]) && !is_break(t[e]))
        e++;
    return std::string_view(t + i, e - i);
}

// From just after a name that a blank follows: passes over TTL and class
// tokens and returns the offset of the token after them, the type token.
size_t type_token(const char *t, size_t len, size_t after_name) {
    size_t i = skip_blanks(t, len, after_name);
    for (;;) {
        std::string_view w = line_word(t, len, i);
        if (!is_ttl_or_class(w))
            return i;
        i = skip_blanks(t, len, i + w.size());
    }
}

// The master file format as far as the structure of lines goes: tokens,
// quoted strings, escapes, comments, and parentheses that continue a record
// over line breaks. Quoted strings end at the line end at the latest, so a
// stray quote never hides the lines after it.
struct lexer {
    const char *t;
    size_t len;
    size_t i;  // the next byte to read
    int depth; // open parentheses
};

// Counts a parenthesis; one that closes nothing is ignored, and the count
// stops short of overflowing.
void paren(lexer *x, char c) {
    if (c == '(' && x->depth < INT_MAX)
        x->depth++;
    else if (c == ')' && x->depth > 0)
        x->depth--;
}

size_t escaped_step(const lexer &x) {
    return x.t[x.i] == '\\' && x.i + 1 < x.len && !is_break(x.t[x.i + 1]) ? 2 : 1;
}

// The next token on the current line; false at its end, with x->i at the
// line break or the end of the text.
bool lex_token(lexer *x, std::string_view *tok, bool *quoted) {
    const char *t = x->t;
    for (;;) {
        x->i = skip_blanks(t, x->len, x->i);
        if (x->i >= x->len || is_break(t[x->i]))
            return false;
        char c = t[x->i];
        if (c == ';') {
            x->i = line_end(t, x->len, x->i);
            return false;
        }
        if (c != '(' && c != ')')
            break;
        paren(x, c);
        x->i++;
    }
    size_t s = x->i;
    *quoted = t[s] == '"';
    if (*quoted) {
        x->i++;
        while (x->i < x->len && t[x->i] != '"' && !is_break(t[x->i]))
            x->i += escaped_step(*x);
        if (x->i < x->len && t[x->i] == '"')
            x->i++;
    } else {
        while (x->i < x->len && !is_blank(t[x->i]) && !is_break(t[x->i]) &&
               !is_one_of(t[x->i], ";()\""))
            x->i += escaped_step(*x);
    }
    *tok = std::string_view(t + s, x->i - s);
    return true;
}

// Passes over the rest of the line and the line breaks after it.
// Reads as lex_token does, but looks only at the bytes that change the
// depth or hide it: every line before the record line passes through here.
void lex_next_line(lexer *x) {
    const char *t = x->t;
    bool quoted = false;
    while (x->i < x->len && !is_break(t[x->i])) {
        char c = t[x->i];
        if (quoted) {
            quoted = c != '"';
        } else if (c == ';') {
            x->i = line_end(t, x->len, x->i);
            break;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(' || c == ')') {
            paren(x, c);
        }
        x->i += escaped_step(*x);
    }
    while (x->i < x->len && is_break(x->t[x->i]))
        x->i++;
}

// Whether the line at x->i is a directive ($ORIGIN, $TTL, $INCLUDE, ...):
// one that starts with a dollar outside parentheses. Its parentheses do not
// count.
bool at_directive(const lexer &x) {
    return x.depth == 0 && x.i < x.len && x.t[x.i] == '$';
}

void skip_directive(lexer *x) {
    x->i = line_end(x->t, x->len, x->i);
    lex_next_line(x);
}

// Whether the directive line at s is `name` (any case); *arg is then its
// first argument, empty when it has none.
bool directive_is(const char *t, size_t len, size_t s, std::string_view name,
                  std::string_view *arg) {
    lexer x{t, len, s, 0};
    std::string_view tok;
    bool quoted = false;
    if (!lex_token(&x, &tok, &quoted) || !equal_nocase(tok, name))
        return false;
    if (!lex_token(&x, arg, &quoted))
        *arg = std::string_view();
    return true;
}

// A name that ends with an unescaped dot stands for itself, not relative to
// the origin.
bool is_absolute(std::string_view name) {
    if (name.empty() || name.back() != '.')
        return false;
    size_t backslashes = 0;
    while (backslashes + 1 < name.size() && name[name.size() - 2 - backslashes] == '\\')
        backslashes++;
    return backslashes % 2 == 0;
}

// The zone's apex as the text writes it out: `rel` "." `abs`, or `abs`
// alone when `rel` is empty. Unknown when `abs` is empty: the file leaves it
// to the origin the name server is given.
struct apex_name {
    std::string_view rel;
    std::string_view abs;
};

// Whether the absolute name `name` is the apex, compared as the text
// writes both; names that differ only in how they escape a byte count as
// different, so this never says yes wrongly.
bool is_apex_name(std::string_view name, const apex_name &apex) {
    if (apex.rel.empty())
        return equal_nocase(name, apex.abs);
    size_t r = apex.rel.size();
    if (name.size() <= r || !equal_nocase(name.substr(0, r), apex.rel) || name[r] != '.')
        return false;
    std::string_view rest = name.substr(r + 1);
    return apex.abs == "." ? rest.empty() : equal_nocase(rest, apex.abs);
}

// Where the relative names of a stretch of the file between $ORIGIN lines
// lie: under the apex, shown to be under another name, or not known. The
// stretch before any $ORIGIN has the origin the name server is given, the
// apex.
enum class place { apex, elsewhere, unknown };

// The place after an $ORIGIN line with argument `arg` in a stretch at
// `where`. A relative origin is relative to the one before it, so under the
// apex it names a name below it.
place place_after(std::string_view arg, place where, const apex_name &apex) {
    if (arg == "@")
        return where;
    if (!is_absolute(arg))
        return where == place::apex ? place::elsewhere : place::unknown;
    if (apex.abs.empty())
        return place::unknown;
    return is_apex_name(arg, apex) ? place::apex : place::elsewhere;
}

// Reads the zone line by line, outside directives as the lexer does,
// keeping the place of the line at x.i.
struct line_walk {
    lexer x;
    const apex_name *apex;
    place where;
};

line_walk walk_start(const char *t, size_t len, const apex_name *apex) {
    return line_walk{{t, len, 0, 0}, apex, place::apex};
}

// Passes over the line at w->x.i; an $ORIGIN line gives the lines after it
// their place.
void walk_past(line_walk *w) {
    if (!at_directive(w->x)) {
        lex_next_line(&w->x);
        return;
    }
    std::string_view arg;
    if (directive_is(w->x.t, w->x.len, w->x.i, "$ORIGIN", &arg))
        w->where = place_after(arg, w->where, *w->apex);
    skip_directive(&w->x);
}

// A name that stands as written in the zone: none of the bytes that end or
// escape a token, or a line.
bool plain_name(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name)
        if (is_blank(c) || is_break(c) || is_one_of(c, ";()\"\\"))
            return false;
    return true;
}

// Whether the word at i is `name` (any case) with a blank after it: "host2"
// is not the line of "host".
bool name_at(const char *t, size_t len, size_t i, std::string_view name) {
    return name.size() < len - i && equal_nocase(std::string_view(t + i, name.size()), name) &&
           is_blank(t[i + name.size()]);
}

// The end of an address that runs from `from` up to a comment or `to`,
// without the blanks before the comment. The address leaves the lines after
// it to be read as before: no quote, and no parenthesis left open or closed
// (escaped bytes count as the lexer counts them, as data); false otherwise.
bool address_end(const char *t, size_t from, size_t to, size_t *end) {
    int depth = 0;
    size_t i = from;
    for (; i < to && t[i] != ';' && depth >= 0; i++) {
        if (t[i] == '"')
            return false;
        if (t[i] == '\\' && i + 1 < to)
            i++;
        else
            depth += t[i] == '(' ? 1 : t[i] == ')' ? -1 : 0;
    }
    if (depth != 0)
        return false;
    while (i > from && is_blank(t[i - 1]))
        i--;
    *end = i;
    return true;
}

// Offsets of the account's record line in the zone text.
struct record_line {
    size_t start;    // first byte of the line
    size_t name;     // first byte after the lead of blanks and semicolons
    size_t addr;     // first byte after the blanks that follow the type token
    size_t addr_end; // the end of the address: a comment or the line end, less blanks
    size_t end;      // first line break from addr on, or the length
    bool commented;  // the lead holds a semicolon
};

// The record line at start, if that line reads as one (see
// zone_text_rewrite).
bool record_at(const char *t, size_t len, size_t start, const zone_text_record &rec,
               record_line *out) {
    size_t i = start;
    bool commented = false;
    while (i < len && (is_blank(t[i]) || t[i] == ';'))
        commented |= t[i++] == ';';
    if (!name_at(t, len, i, rec.name))
        return false;
    size_t type = type_token(t, len, i + rec.name.size());
    std::string_view w = line_word(t, len, type);
    size_t after = type + w.size();
    if (!equal_nocase(w, rec.type) || after >= len || !is_blank(t[after]))
        return false;
    size_t addr = skip_blanks(t, len, after);
    size_t end = line_end(t, len, addr);
    size_t addr_end = 0;
    if (!address_end(t, addr, end, &addr_end))
        return false;
    *out = {start, i, addr, addr_end, end, commented};
    return true;
}

// What follows a record line as far as owners go, past empty lines,
// comments and $TTL lines.
struct next_record {
    enum { owned, ownerless, unsure } kind;
    size_t at; // ownerless: the start of that line
};

// Whether the next record after `end` has an owner of its own. One that
// has none belongs to the owner before it: commenting out or reviving the
// line before it would hand it to another name. Where an $ORIGIN stands
// between, or a directive that reads another file or makes records, the
// owner it has cannot be written as text here.
next_record next_owner(const char *t, size_t len, size_t end) {
    bool origin = false;
    size_t i = end;
    for (;;) {
        while (i < len && is_break(t[i]))
            i++;
        size_t s = skip_blanks(t, len, i);
        if (s >= len)
            return {next_record::owned, 0};
        std::string_view arg;
        if (s == i && t[s] == '$') {
            if (directive_is(t, len, s, "$ORIGIN", &arg))
                origin = true;
            else if (!directive_is(t, len, s, "$TTL", &arg))
                return {next_record::unsure, 0};
        } else if (!is_break(t[s]) && t[s] != ';') {
            if (s == i)
                return {next_record::owned, 0};
            return {origin ? next_record::unsure : next_record::ownerless, i};
        }
        i = line_end(t, len, s);
    }
}

// What find_serial learns of the zone: where the serial's digits stand, and
// the apex as far as the SOA record and the $ORIGIN in force there write it.
struct zone_soa {
    size_t at;
    size_t n;
    apex_name apex;
};

// The apex by the SOA record's owner; `origin` is the argument of the
// $ORIGIN in force, empty where none is.
apex_name apex_of(std::string_view owner, std::string_view origin) {
    bool known = is_absolute(origin);
    if (owner == "@")
        return known ? apex_name{{}, origin} : apex_name{};
    if (is_absolute(owner))
        return {{}, owner};
    return known ? apex_name{owner, origin} : apex_name{};
}

// Reads the zone's records far enough to find the serial field of the
// first SOA record: directives ($TTL, $ORIGIN, ...) and comments are passed
// over, a record continues over line breaks inside parentheses, and the
// type is the first token after the owner that is neither TTL nor class.
bool find_serial(const char *t, size_t len, zone_soa *soa) {
    enum { owner, type, rdata, soa_rdata } state = owner;
    int soa_field = 0;
    std::string_view origin; // the $ORIGIN in force if it is absolute
    std::string_view owner_name;
    bool has_owner = false;
    lexer x{t, len, 0, 0};
    while (x.i < len) {
        if (x.depth == 0) {
            if (t[x.i] == '$') {
                std::string_view arg;
                if (directive_is(t, len, x.i, "$ORIGIN", &arg) && arg != "@")
                    origin = is_absolute(arg) ? arg : std::string_view();
                skip_directive(&x);
                continue;
            }
            // A line that begins with a blank has no owner: it belongs to
            // the previous owner, which is not taken for the apex.
            state = is_blank(t[x.i]) ? type : owner;
            has_owner = has_owner && state == owner;
        }
        std::string_view tok;
        bool quoted;
        while (lex_token(&x, &tok, &quoted)) {
            switch (state) {
            case owner:
                owner_name = tok;
                has_owner = !quoted;
                state = type;
                break;
            case type:
                if (quoted || !is_ttl_or_class(tok))
                    state = !quoted && equal_nocase(tok, "SOA") ? soa_rdata : rdata;
                soa_field = 0;
                break;
            case rdata:
                break;
            case soa_rdata:
                // MNAME, RNAME, then the serial.
                if (++soa_field < 3)
                    break;
                for (char d : tok)
                    if (!is_digit(d))
                        return false;
                soa->at = static_cast<size_t>(tok.data() - t);
                soa->n = tok.size();
                soa->apex = has_owner ? apex_of(owner_name, origin) : apex_name{};
                return true;
            }
        }
        lex_next_line(&x);
    }
    return false;
}

// Where the parts of a new text go: into zone_text_out's array as views,
// or, for a batch, copied end to end into its buffer.
struct part_sink {
    text_span *parts; // or null
    char *bytes;      // or null
    size_t *n;        // parts, or bytes, so far
};

// Adds a part; empty ones are left out.
void add(part_sink out, text_span p) {
    if (p.empty())
        return;
    if (out.bytes == nullptr) {
        out.parts[(*out.n)++] = p;
        return;
    }
    memcpy(out.bytes + *out.n, p.data(), p.size());
    *out.n += p.size();
}

text_span slice(text_span text, size_t from, size_t to) {
    return text.subspan(from, to - from);
}

text_span view(std::string_view s) {
    return text_span(s.data(), s.size());
}

// The texts a rewrite writes of its own.
constexpr std::string_view comment = "; ";
constexpr std::string_view lf = "\n";
constexpr std::string_view crlf = "\r\n";
constexpr std::string_view in = " IN ";
constexpr std::string_view blank = " ";
constexpr std::string_view origin = "$ORIGIN ";
constexpr std::string_view dot = ".";

// Writes the text into the parts in order, with the new serial in place of
// the old one wherever the copy passes over it.
struct emitter {
    text_span text;
    size_t at;      // the first byte not yet copied or dropped
    size_t ser;     // the old serial
    size_t ser_end; //
    text_span serial;
    part_sink out;
};

// Copies the text up to `to`.
void copy_to(emitter *e, size_t to) {
    if (e->ser >= e->at && e->ser_end <= to && e->ser_end > e->ser) {
        add(e->out, slice(e->text, e->at, e->ser));
        add(e->out, e->serial);
        e->at = e->ser_end;
    }
    add(e->out, slice(e->text, e->at, to));
    e->at = to;
}

// Leaves out the text up to `to`, which never holds the serial.
void drop_to(emitter *e, size_t to) {
    e->at = to;
}

// The record line from `start`: its lead up to `name` written away, "; "
// before it when the record goes, and `addr` in place of the address
// [from, to).
void edit_line(emitter *e, size_t start, size_t name, size_t from, size_t to, bool gone,
               std::string_view addr) {
    copy_to(e, start);
    add(e->out, view(gone ? comment : std::string_view()));
    drop_to(e, name);
    copy_to(e, from);
    add(e->out, view(addr));
    drop_to(e, to);
}

// A new record line for rec, ended by nl.
void new_line(part_sink out, const zone_text_record &rec, std::string_view nl) {
    add(out, view(rec.name));
    add(out, view(in));
    add(out, view(rec.type));
    add(out, view(blank));
    add(out, view(rec.addr));
    add(out, view(nl));
}

// Where a new record line goes: at `at`, after an $ORIGIN line for the apex
// when `origin` is set.
struct insertion {
    size_t at;
    bool origin;
};

// What one reading of the zone's lines finds for the account.
struct zone_scan {
    bool found;       // `line` is the record line
    record_line line; //
    bool cname;       // without a record line: a live line gives the name a CNAME
    insertion add;    // without a record line: where a new one goes
};

// Reads the zone's lines once for the account (see zone_text_rewrite):
//  - the record line: the first live one after the first line break, else
//    the first commented-out one that may be revived. Lines inside
//    parentheses continue another record, and a line that holds the serial
//    is never taken. Rewriting the line leaves every other line to be read
//    as before.
//  - a CNAME of the name, on any live line, the first included: a name that
//    has a CNAME may hold no other data wherever the CNAME stands.
//  - the place for a new record line: the last line start after the serial,
//    outside parentheses and under the apex, before which a new line takes
//    no records from the owner before it. That is the end of such a stretch
//    when the records after its $ORIGIN have owners of their own, else the
//    last record line in it that has an owner.
// Lines in a stretch shown to be under another name count for none of these.
void scan_zone(const char *t, size_t len, const zone_soa &soa, const zone_text_record &rec,
               zone_scan *scan) {
    const size_t ser = soa.at;
    const size_t ser_end = soa.at + soa.n;
    bool have_commented = false;
    size_t last = len + 1; // no place for a new line yet
    size_t soa_end = len;  // the end of the SOA record's stretch
    scan->found = false;
    scan->cname = false;
    line_walk w = walk_start(t, len, &soa.apex);
    for (; w.x.i < len; walk_past(&w)) {
        const size_t s = w.x.i;
        if (w.x.depth != 0)
            continue;
        if (at_directive(w.x)) {
            std::string_view arg;
            if (s < ser || !directive_is(t, len, s, "$ORIGIN", &arg))
                continue;
            if (soa_end == len)
                soa_end = s;
            if (w.where == place::apex && next_owner(t, len, s).kind == next_record::owned)
                last = s;
            continue;
        }
        if (w.where == place::elsewhere)
            continue;
        record_line l{};
        if (s > 0 && record_at(t, len, s, rec, &l) && !(ser < l.end && ser_end > l.start)) {
            if (!l.commented) {
                scan->found = true;
                scan->line = l;
                return;
            }
            if (!have_commented && !rec.gone &&
                next_owner(t, len, l.end).kind == next_record::owned) {
                scan->line = l;
                have_commented = true;
            }
        }
        size_t n = skip_blanks(t, len, s);
        if (name_at(t, len, n, rec.name) &&
            equal_nocase(line_word(t, len, type_token(t, len, n + rec.name.size())), "CNAME"))
            scan->cname = true;
        if (s >= ser && w.where == place::apex && !is_blank(t[s]) && t[s] != ';')
            last = s;
    }
    scan->found = have_commented;
    if (w.where == place::apex)
        scan->add = {len, false};
    else if (last <= len)
        scan->add = {last, false};
    else if (!soa.apex.abs.empty())
        scan->add = {len, true};
    else
        scan->add = {soa_end, false};
}

// FNV-1a over a name as DNS compares it, ignoring ASCII case: names that
// are equal so have equal keys, and the index sorts and looks up by key,
// checking the name itself only where keys are equal.
uint64_t key_of(std::string_view name, uint64_t h = 14695981039346656037ull) {
    for (char c : name)
        h = (h ^ static_cast<unsigned char>(lower(c))) * 1099511628211ull;
    return h;
}

std::string_view owner_name(const char *t, const zone_text_owner &o) {
    return std::string_view(t + o.name, o.name_len);
}

// The lines scan_zone reads that begin, after their lead, with a word and a
// blank: the only lines that can be some name's record line or CNAME. In
// text order; *end_where is the place at the end of the text.
size_t index_owners(const char *t, size_t len, const zone_soa &soa, std::span<zone_text_owner> out,
                    place *end_where) {
    size_t n = 0;
    line_walk w = walk_start(t, len, &soa.apex);
    for (; w.x.i < len; walk_past(&w)) {
        const size_t s = w.x.i;
        if (w.x.depth != 0 || at_directive(w.x) || w.where == place::elsewhere)
            continue;
        size_t i = s;
        bool commented = false;
        while (i < len && (is_blank(t[i]) || t[i] == ';'))
            commented |= t[i++] == ';';
        std::string_view word = line_word(t, len, i);
        if (word.empty() || i + word.size() >= len || !is_blank(t[i + word.size()]))
            continue;
        // Sized by the line breaks, so never full; checked all the same.
        if (n < out.size())
            out[n++] = {key_of(word), s, i, word.size(), commented};
    }
    *end_where = w.where;
    return n;
}

// What a batch makes of one record.
enum class batch_plan {
    edit,    // the record line changes, or a new one goes at the end
    none,    // nothing to write; the status says why
    in_turn, // only the updates one after the other can tell
};

// Plans `rec` on the text as scan_zone and zone_text_rewrite would, looking
// at the record's own index entries only; `owners` are sorted by key and
// then by their place in the text.
batch_plan plan_record(const char *t, size_t len, const zone_soa &soa, place end_where,
                       std::span<const zone_text_owner> owners, const zone_text_record &rec,
                       zone_text_status *status, zone_text_edit *edit) {
    if (!plain_name(rec.name)) {
        *status = zone_text_status::bad_name;
        return batch_plan::none;
    }
    const size_t ser = soa.at;
    const size_t ser_end = soa.at + soa.n;
    const uint64_t key = key_of(rec.name);
    const zone_text_owner *o =
        std::lower_bound(owners.data(), owners.data() + owners.size(), key,
                         [](const zone_text_owner &a, uint64_t k) { return a.key < k; });
    bool found = false;
    bool revive = false;
    bool cname = false;
    record_line line{};
    for (; o != owners.data() + owners.size() && o->key == key; o++) {
        if (!equal_nocase(owner_name(t, *o), rec.name))
            continue;
        record_line l{};
        if (o->start > 0 && record_at(t, len, o->start, rec, &l) &&
            !(ser < l.end && ser_end > l.start)) {
            if (!l.commented) {
                found = true;
                line = l;
                break;
            }
            revive = revive || (!rec.gone && next_owner(t, len, l.end).kind == next_record::owned);
        }
        if (!o->commented &&
            equal_nocase(line_word(t, len, type_token(t, len, o->name + o->name_len)), "CNAME"))
            cname = true;
    }
    if (found) {
        // A line before the SOA record could change how the serial is read,
        // and a lead of blanks written away could give the lines around it
        // other owners.
        if (line.start < ser_end || line.name != line.start)
            return batch_plan::in_turn;
        if (rec.gone) {
            next_record next = next_owner(t, len, line.end);
            if (next.kind == next_record::unsure) {
                *status = zone_text_status::owner_continues;
                return batch_plan::none;
            }
            if (next.kind == next_record::ownerless)
                return batch_plan::in_turn;
        } else if (line.end < len &&
                   std::string_view(t + line.addr, line.addr_end - line.addr) == rec.addr) {
            *status = zone_text_status::unchanged;
            return batch_plan::none;
        }
        *status = zone_text_status::rewrite;
        edit->start = line.start;
        edit->addr = line.addr;
        edit->addr_end = line.addr_end;
        edit->end = line.end;
        edit->comment = rec.gone;
        return batch_plan::edit;
    }
    if (revive)
        return batch_plan::in_turn;
    if (rec.gone || cname) {
        *status = rec.gone ? zone_text_status::absent : zone_text_status::cname;
        return batch_plan::none;
    }
    if (end_where != place::apex)
        return batch_plan::in_turn;
    *status = zone_text_status::rewrite;
    *edit = {edit->key, edit->rec, len, len, len, len, false};
    return batch_plan::edit;
}

// Whether two records of the batch name the same record (name without
// case, and type): what the first writes, the second would find.
bool same_record(const zone_text_record &a, const zone_text_record &b) {
    return equal_nocase(a.name, b.name) && equal_nocase(a.type, b.type);
}

} // namespace

bool zone_text_next_serial(std::string_view old, zone_text_date today, uint32_t *next) {
    constexpr uint64_t max = UINT32_MAX;
    uint64_t value = 0;
    for (char c : old) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value >= max)
            return false;
    }
    if (old.empty())
        return false;

    // The date serial, by the day and the count of the old serial when it
    // is one; a date that does not precede the old one has none.
    uint64_t date = 0;
    if (today.year >= 0 && today.year <= 9999) {
        uint64_t day = static_cast<uint64_t>(today.year) * 10000 +
                       static_cast<uint64_t>(today.month) * 100 + static_cast<uint64_t>(today.day);
        uint64_t count = 1;
        if (old.size() == 10 && value / 100 == day && value % 100 < 99)
            count = value % 100 + 1;
        date = day * 100 + count;
    }
    // A serial that does not go up is ignored by every secondary; take the
    // next number instead, as the name servers' own date policies do.
    *next = static_cast<uint32_t>(date > value && date <= max ? date : value + 1);
    return true;
}

zone_text_status zone_text_rewrite(std::span<const char> text, const zone_text_record &rec,
                                   zone_text_date today, zone_text_out *out) {
    const char *t = text.data();
    const size_t len = text.size();
    out->nparts = 0;
    if (!plain_name(rec.name))
        return zone_text_status::bad_name;

    zone_soa soa{0, 0, {}};
    bool have_serial = find_serial(t, len, &soa);
    // Without a serial no line can hold it.
    size_t ser = soa.at;
    size_t ser_end = have_serial ? soa.at + soa.n : 0;

    zone_scan scan{};
    scan_zone(t, len, soa, rec, &scan);
    const bool found = scan.found;
    const record_line &line = scan.line;
    if (!found && rec.gone)
        return zone_text_status::absent;
    if (!found && scan.cname)
        return zone_text_status::cname;
    // Gone, the records after the line that have no owner of their own get
    // its owner written out.
    size_t owner_at = len + 1;
    if (found && rec.gone) {
        next_record next = next_owner(t, len, line.end);
        if (next.kind == next_record::unsure)
            return zone_text_status::owner_continues;
        if (next.kind == next_record::ownerless)
            owner_at = next.at;
    }
    if (found && !rec.gone && line.end < len && line.name == line.start &&
        std::string_view(t + line.addr, line.addr_end - line.addr) == rec.addr)
        return zone_text_status::unchanged;

    if (!have_serial)
        return zone_text_status::no_serial;
    out->serial_at = ser;
    out->old_len = soa.n;
    uint32_t next = 0;
    if (!zone_text_next_serial(std::string_view(t + ser, soa.n), today, &next))
        return zone_text_status::invalid_serial;
    char digits[16];
    int n = snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(next));
    out->serial_len = static_cast<size_t>(n);
    memcpy(out->serial, digits, out->serial_len);

    const part_sink sink{out->parts, nullptr, &out->nparts};
    emitter e{text, 0, ser, ser_end, text_span(out->serial, out->serial_len), sink};

    if (!found) {
        const insertion &at = scan.add;
        copy_to(&e, at.at);
        // Inside the file the new line ends as the line before it does; at
        // the end with a line feed, and never glued to a last line that has
        // no line break. The serial was found, so the text is not empty.
        std::string_view nl = lf;
        if (at.at < len)
            nl = at.at >= 2 && t[at.at - 2] == '\r' && t[at.at - 1] == '\n'
                     ? crlf
                     : std::string_view(t + at.at - 1, 1);
        else if (!is_break(t[len - 1]))
            add(sink, view(lf));
        if (at.origin) {
            add(sink, view(origin));
            add(sink, view(soa.apex.rel));
            if (!soa.apex.rel.empty() && soa.apex.abs != dot)
                add(sink, view(dot));
            add(sink, view(soa.apex.abs));
            add(sink, view(nl));
        }
        new_line(sink, rec, nl);
        copy_to(&e, len);
        return zone_text_status::rewrite;
    }

    edit_line(&e, line.start, line.name, line.addr, line.addr_end, rec.gone, rec.addr);
    if (owner_at <= len) {
        copy_to(&e, owner_at);
        add(sink, slice(text, line.name, line.name + rec.name.size()));
    }
    copy_to(&e, len);
    if (line.end == len)
        add(sink, view(lf));
    return zone_text_status::rewrite;
}

size_t zone_text_batch_owners(std::span<const char> text) {
    size_t n = 1;
    for (char c : text)
        n += is_break(c) ? 1 : 0;
    return n;
}

// An edited line gains at most "; " and its new address, a new line its
// name, type and address with " IN ", a blank and a line break; the text
// may gain one line break at its end, and the serial up to ten digits.
size_t zone_text_batch_size(std::span<const char> text, std::span<const zone_text_record> recs) {
    size_t n = text.size() + 1 + 10;
    for (const zone_text_record &r : recs)
        n += r.name.size() + r.type.size() + r.addr.size() + 6;
    return n;
}

bool zone_text_rewrite_batch(std::span<const char> text, std::span<const zone_text_record> recs,
                             zone_text_date today, zone_text_batch *batch,
                             std::span<zone_text_status> status) {
    const char *t = text.data();
    const size_t len = text.size();
    const size_t n = recs.size();
    batch->len = 0;
    if (batch->edits.size() < n || status.size() < n ||
        batch->text.size() < zone_text_batch_size(text, recs) ||
        batch->owners.size() < zone_text_batch_owners(text))
        return false;

    // Two updates of one record: the second finds what the first wrote.
    std::span<zone_text_edit> edits = batch->edits.first(n);
    for (size_t r = 0; r < n; r++) {
        edits[r].rec = r;
        edits[r].key = key_of(recs[r].type, key_of(recs[r].name));
    }
    std::sort(edits.begin(), edits.end(),
              [](const zone_text_edit &a, const zone_text_edit &b) { return a.key < b.key; });
    for (size_t r = 1; r < n; r++)
        for (size_t q = r; q > 0 && edits[q - 1].key == edits[r].key; q--)
            if (same_record(recs[edits[q - 1].rec], recs[edits[r].rec]))
                return false;

    zone_soa soa{0, 0, {}};
    const bool have_serial = find_serial(t, len, &soa);
    place end_where = place::apex;
    std::span<zone_text_owner> owners =
        batch->owners.first(index_owners(t, len, soa, batch->owners, &end_where));
    // By key, and in text order among equal keys.
    std::sort(owners.begin(), owners.end(), [](const zone_text_owner &a, const zone_text_owner &b) {
        return a.key != b.key ? a.key < b.key : a.start < b.start;
    });

    size_t nedits = 0;
    for (size_t r = 0; r < n; r++) {
        zone_text_edit &e = edits[nedits];
        e.rec = r;
        switch (plan_record(t, len, soa, end_where, owners, recs[r], &status[r], &e)) {
        case batch_plan::in_turn:
            return false;
        case batch_plan::edit:
            nedits++;
            break;
        case batch_plan::none:
            break;
        }
    }
    edits = edits.first(nedits);
    if (nedits == 0)
        return true;

    // The serial goes up once for the batch. Each update after the first
    // would check the serial the first one wrote: it must have a successor
    // too, or the batch is left to the updates in turn.
    zone_text_status failed = zone_text_status::rewrite;
    uint32_t next = 0;
    batch->serial_at = soa.at;
    batch->old_len = soa.n;
    if (!have_serial) {
        failed = zone_text_status::no_serial;
    } else if (!zone_text_next_serial(std::string_view(t + soa.at, soa.n), today, &next)) {
        failed = zone_text_status::invalid_serial;
    } else {
        char digits[16];
        int d = snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(next));
        batch->serial_len = static_cast<size_t>(d);
        memcpy(batch->serial, digits, batch->serial_len);
        uint32_t after = 0;
        if (nedits > 1 && !zone_text_next_serial(std::string_view(batch->serial, batch->serial_len),
                                                 today, &after))
            return false;
    }
    if (failed != zone_text_status::rewrite) {
        for (const zone_text_edit &e : edits)
            status[e.rec] = failed;
        return true;
    }

    // In text order; new lines at the end in the order of the batch.
    std::sort(edits.begin(), edits.end(), [](const zone_text_edit &a, const zone_text_edit &b) {
        return a.start != b.start ? a.start < b.start : a.rec < b.rec;
    });
    const part_sink sink{nullptr, batch->text.data(), &batch->len};
    emitter out{text, 0, soa.at, soa.at + soa.n, text_span(batch->serial, batch->serial_len), sink};
    bool at_end = false;
    bool last_line = false;
    for (const zone_text_edit &e : edits) {
        const zone_text_record &rec = recs[e.rec];
        if (e.start == len) {
            if (!at_end) {
                copy_to(&out, len);
                if (!is_break(t[len - 1]))
                    add(sink, view(lf));
                at_end = true;
            }
            new_line(sink, rec, lf);
            continue;
        }
        // Batched lines have no lead.
        edit_line(&out, e.start, e.start, e.addr, e.addr_end, e.comment, rec.addr);
        last_line = e.end == len;
    }
    if (!at_end) {
        copy_to(&out, len);
        if (last_line)
            add(sink, view(lf));
    }
    return true;
}
