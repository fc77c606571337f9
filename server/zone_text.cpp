// Zone text rewrite. The zone is read as text, not loaded: the record line is
// recognised by the shape of an address record, and the serial by the
// record structure of the zone up to its first SOA, so comments, TXT data and
// other records are never taken for either, and any layout an operator keeps
// by hand survives an update.
#include "server/zone_text.h"

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

// Offsets of the account's record line in the zone text.
struct record_line {
    size_t start; // first byte of the line
    size_t name;  // first byte after the lead of blanks and semicolons
    size_t addr;  // first byte after the blanks that follow the type token
    size_t end;   // first line break from addr on, or the length
};

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

// An address that takes the whole rest of the line, up to a comment, and
// leaves the lines after it to be read as before: no quote, and no
// parenthesis left open or closed (escaped bytes count as the lexer counts
// them, as data).
bool plain_address(const char *t, size_t from, size_t to) {
    int depth = 0;
    for (size_t i = from; i < to && t[i] != ';' && depth >= 0; i++) {
        if (t[i] == '"')
            return false;
        if (t[i] == '\\' && i + 1 < to)
            i++;
        else
            depth += t[i] == '(' ? 1 : t[i] == ')' ? -1 : 0;
    }
    return depth == 0;
}

// The record line at start, if that line reads as one (see
// zone_text_rewrite).
bool record_at(const char *t, size_t len, size_t start, const zone_text_record &rec,
               record_line *out) {
    const std::string_view name = rec.name;
    size_t i = start;
    while (i < len && (is_blank(t[i]) || t[i] == ';'))
        i++;
    // The name, then at least a blank: "host2" is not the line of "host".
    if (name.size() >= len - i || memcmp(t + i, name.data(), name.size()) != 0 ||
        !is_blank(t[i + name.size()]))
        return false;
    size_t type = type_token(t, len, i + name.size());
    std::string_view w = line_word(t, len, type);
    size_t after = type + w.size();
    if (!equal_nocase(w, rec.type) || after >= len || !is_blank(t[after]))
        return false;
    size_t addr = skip_blanks(t, len, after);
    size_t end = line_end(t, len, addr);
    if (!plain_address(t, addr, end))
        return false;
    *out = {start, i, addr, end};
    return true;
}

// The first record line after the first line break that starts outside
// parentheses (a line inside them continues another record) and does not
// hold the serial [ser, ser_end). Rewriting such a line leaves every other
// line to be read as before.
bool find_record(const char *t, size_t len, const zone_text_record &rec, size_t ser, size_t ser_end,
                 record_line *out) {
    lexer x{t, len, 0, 0};
    lex_next_line(&x);
    while (x.i < len) {
        if (x.depth == 0 && record_at(t, len, x.i, rec, out) &&
            !(ser < out->end && ser_end > out->start))
            return true;
        lex_next_line(&x);
    }
    return false;
}

// Whether a live line (not commented out) gives the name a CNAME. Names in
// the DNS are compared without case, and the first line counts too: a name
// that has a CNAME may hold no other data wherever the CNAME stands.
bool has_cname(const char *t, size_t len, std::string_view name) {
    for (size_t i = 0; i < len;) {
        size_t n = skip_blanks(t, len, i);
        if (name.size() < len - n && equal_nocase(std::string_view(t + n, name.size()), name) &&
            is_blank(t[n + name.size()])) {
            size_t type = type_token(t, len, n + name.size());
            if (equal_nocase(line_word(t, len, type), "CNAME"))
                return true;
        }
        i = line_end(t, len, i);
        while (i < len && is_break(t[i]))
            i++;
    }
    return false;
}

// Reads the zone's records far enough to find the serial field of the
// first SOA record: directives ($TTL, $ORIGIN, ...) and comments are passed
// over, a record continues over line breaks inside parentheses, and the
// type is the first token after the owner that is neither TTL nor class.
bool find_serial(const char *t, size_t len, size_t *at, size_t *n) {
    enum { owner, type, rdata, soa } state = owner;
    int soa_field = 0;
    lexer x{t, len, 0, 0};
    while (x.i < len) {
        if (x.depth == 0) {
            if (t[x.i] == '$') {
                x.i = line_end(t, len, x.i);
                lex_next_line(&x);
                continue;
            }
            // A line that begins with a blank has no owner: it belongs to
            // the previous owner.
            state = is_blank(t[x.i]) ? type : owner;
        }
        std::string_view tok;
        bool quoted;
        while (lex_token(&x, &tok, &quoted)) {
            switch (state) {
            case owner:
                state = type;
                break;
            case type:
                if (quoted || !is_ttl_or_class(tok))
                    state = !quoted && equal_nocase(tok, "SOA") ? soa : rdata;
                soa_field = 0;
                break;
            case rdata:
                break;
            case soa:
                // MNAME, RNAME, then the serial.
                if (++soa_field < 3)
                    break;
                for (char d : tok)
                    if (!is_digit(d))
                        return false;
                *at = static_cast<size_t>(tok.data() - t);
                *n = tok.size();
                return true;
            }
        }
        lex_next_line(&x);
    }
    return false;
}

// Whether a line after the record line, past empty and comment lines,
// leaves out its owner and so belongs to the record line's owner: commenting
// the record line out would hand those records to the owner before it.
bool owner_continues(const char *t, size_t len, size_t end) {
    size_t i = end;
    for (;;) {
        while (i < len && is_break(t[i]))
            i++;
        size_t s = skip_blanks(t, len, i);
        if (s >= len)
            return false;
        if (!is_break(t[s]) && t[s] != ';')
            return s > i;
        i = line_end(t, len, s);
    }
}

// Adds a part; empty ones are left out.
void add(zone_text_out *out, text_span p) {
    if (!p.empty())
        out->parts[out->nparts++] = p;
}

text_span slice(text_span text, size_t from, size_t to) {
    return text.subspan(from, to - from);
}

text_span view(std::string_view s) {
    return text_span(s.data(), s.size());
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

    size_t ser = 0;
    size_t ser_len = 0;
    bool have_serial = find_serial(t, len, &ser, &ser_len);
    // Without a serial no line can hold it.
    size_t ser_end = have_serial ? ser + ser_len : 0;

    record_line line{};
    bool found = find_record(t, len, rec, ser, ser_end, &line);
    if (!found && rec.gone)
        return zone_text_status::absent;
    if (!found && has_cname(t, len, rec.name))
        return zone_text_status::cname;
    if (found && rec.gone && line.name == line.start && owner_continues(t, len, line.end))
        return zone_text_status::owner_continues;

    static constexpr std::string_view comment = "; ";
    static constexpr std::string_view lf = "\n";
    static constexpr std::string_view in = " IN ";
    static constexpr std::string_view blank = " ";
    std::string_view lead = rec.gone ? comment : std::string_view();
    if (found && line.end < len &&
        std::string_view(t + line.start, line.name - line.start) == lead &&
        std::string_view(t + line.addr, line.end - line.addr) == rec.addr)
        return zone_text_status::unchanged;

    if (!have_serial)
        return zone_text_status::no_serial;
    out->serial_at = ser;
    out->old_len = ser_len;
    uint32_t next = 0;
    if (!zone_text_next_serial(std::string_view(t + ser, ser_len), today, &next))
        return zone_text_status::invalid_serial;
    char digits[16];
    int n = snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(next));
    out->serial_len = static_cast<size_t>(n);
    memcpy(out->serial, digits, out->serial_len);
    text_span serial(out->serial, out->serial_len);

    if (!found) {
        add(out, slice(text, 0, ser));
        add(out, serial);
        add(out, slice(text, ser_end, len));
        // A zone whose last line has no line break must not get the record
        // glued to that line. The serial was found, so the text is not empty.
        if (!is_break(t[len - 1]))
            add(out, view(lf));
        add(out, view(rec.name));
        add(out, view(in));
        add(out, view(rec.type));
        add(out, view(blank));
        add(out, view(rec.addr));
        add(out, view(lf));
        return zone_text_status::rewrite;
    }

    // The serial lies wholly before or wholly after the record line.
    bool serial_first = ser < line.start;
    if (serial_first) {
        add(out, slice(text, 0, ser));
        add(out, serial);
        add(out, slice(text, ser_end, line.start));
    } else {
        add(out, slice(text, 0, line.start));
    }
    add(out, view(lead));
    add(out, slice(text, line.name, line.addr));
    add(out, view(rec.addr));
    if (line.end == len) {
        add(out, view(lf));
    } else if (serial_first) {
        add(out, slice(text, line.end, len));
    } else {
        add(out, slice(text, line.end, ser));
        add(out, serial);
        add(out, slice(text, ser_end, len));
    }
    return zone_text_status::rewrite;
}
