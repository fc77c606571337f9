// Zone text rewrite: finds an account's address record line and the SOA
// serial in the text of a zone file and says how the text reads after an
// update. Pure: no files, no clock, no allocation, no logging.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// A day in UTC: year, month 1 to 12, day of the month 1 to 31.
struct zone_text_date {
    int year;
    int month;
    int day;
};

// What an update asks of a zone: the account's owner name as written in the
// zone relative to its apex (compared ignoring ASCII case, as DNS names
// compare), the record type token ("A"), the address as
// it is to stand in the record, and whether the account is gone (its record
// line is then commented out).
struct zone_text_record {
    std::string_view name;
    std::string_view type;
    std::string_view addr;
    bool gone;
};

enum class zone_text_status {
    rewrite,         // the new text is in the parts
    unchanged,       // the record line already reads so: nothing to write
    absent,          // no record line and the account is gone: nothing to write
    cname,           // no record line, and the name owns a CNAME: nothing may be added
    no_serial,       // no SOA record, or its serial field is not a number
    invalid_serial,  // the serial has no successor that fits 32 bits
    owner_continues, // the account is gone, but the records after its record line may
                     // have no owner of their own, and a directive stands between
                     // (or they begin in another file): nothing says what their owner
                     // must be written as
    bad_name,        // the name holds a blank, line break, quote, backslash, ; ( or )
};

constexpr size_t zone_text_max_parts = 20;

// The new text as parts to be written in order. The parts point into the
// text and the record given to zone_text_rewrite, into static strings, and
// into `serial` of this very record, which is why it cannot be copied.
struct zone_text_out {
    zone_text_out() = default;
    zone_text_out(const zone_text_out &) = delete;
    zone_text_out &operator=(const zone_text_out &) = delete;

    std::span<const char> parts[zone_text_max_parts];
    size_t nparts = 0;
    char serial[10] = {};  // the new serial's digits
    size_t serial_len = 0; // digits used in serial
    size_t serial_at = 0;  // offset of the old serial in the text (rewrite, invalid_serial)
    size_t old_len = 0;    // digits of the old serial
};

// Works out the update of `text` for `rec` with `today` as the date of the
// new serial.
//
// The record line is a line after the first line break, outside
// parentheses and not in a stretch of the file whose $ORIGIN is shown to be
// another name than the apex, that reads after a lead of blanks and
// semicolons: the name, blanks, TTL and class tokens only, the lone type
// token (any case), blanks, and the address up to a comment or the line end
// (no quote or unbalanced parenthesis in it). The first live line
// (no semicolon in its lead) is the record line; a commented-out one counts
// only when there is no live one, the account is not gone, and the lines
// after it have owners of their own (reviving it would otherwise take their
// records). The address is replaced, and a trailing comment kept.
//
// Gone, the live line is commented out; when the records after it have no
// owner of their own, its owner is written at the start of the first of
// them so that they keep their name (owner_continues where an $ORIGIN
// stands between, or a directive other than $TTL follows). Without a live
// line nothing changes.
//
// Without a record line a new one is written where the zone's apex is the
// origin: at the end of the file, or of the last stretch after the SOA
// record whose $ORIGIN says the apex (before its last line with an owner
// when records without one follow the stretch); where no such stretch is
// left, after an $ORIGIN line for the apex when the file writes the apex
// out, else before the first $ORIGIN after the SOA record. Nothing is added
// when the name owns a CNAME. The serial is the serial field of the first SOA record; a line
// holding it is never the record line. Every other byte is kept. `out` is
// filled for rewrite and names the old serial for invalid_serial; otherwise
// its contents are unspecified.
zone_text_status zone_text_rewrite(std::span<const char> text, const zone_text_record &rec,
                                   zone_text_date today, zone_text_out *out);

// The serial that follows `old` (ASCII digits only, at least one): the date
// serial YYYYMMDDnn of `today` (count 01, or the old count plus one when the
// old serial is ten digits dated today) when that is greater than the old
// serial, otherwise the old serial plus one. False when the old serial is
// 4294967295 or more, for its successor would not fit the SOA field.
bool zone_text_next_serial(std::string_view old, zone_text_date today, uint32_t *next);

// A batch: updates of several records of one zone at once, worked out in
// one reading of its lines (each record's line looked up in an index of the
// owner names) instead of one reading per record.

// One line of the zone that has an owner word, for the index.
struct zone_text_owner {
    uint64_t key;    // a hash of the owner without case, to sort and look up by
    size_t start;    // first byte of the line
    size_t name;     // first byte of the owner, after a lead of blanks and semicolons
    size_t name_len; //
    bool commented;  // the lead holds a semicolon
};

// One record's change as the batch plans it.
struct zone_text_edit {
    uint64_t key; // a hash of the record's name without case and its type
    size_t rec;   // the index of the record in the batch
    size_t start; // the record line (len for a new line at the end)
    size_t addr;  // the address on it, up to addr_end
    size_t addr_end;
    size_t end;   // the end of the record line
    bool comment; // the line is to be commented out
};

// The caller's memory for a batch of n records of `text`, and what the
// batch writes: the new text itself, in `text`.
struct zone_text_batch {
    std::span<zone_text_owner> owners; // zone_text_batch_owners(text) entries
    std::span<zone_text_edit> edits;   // n entries
    std::span<char> text;              // zone_text_batch_size(text, recs) bytes
    size_t len = 0;                    // of the new text; 0: nothing to write
    char serial[10] = {};
    size_t serial_len = 0;
    size_t serial_at = 0; // as in zone_text_out
    size_t old_len = 0;
};

size_t zone_text_batch_owners(std::span<const char> text);
size_t zone_text_batch_size(std::span<const char> text, std::span<const zone_text_record> recs);

// Works out the updates `recs` of `text` as zone_text_rewrite would one
// after the other, each on the text the one before it left, with the
// serial advanced once for the whole batch: status[i] is what the record's
// own update gives. False when one reading cannot tell that what one update
// does leaves the others as they would be alone (two updates of one name
// and type, a commented line to revive, owners to write out, a new line
// that does not go at the end, a record line before the SOA or with a lead
// of blanks, a serial without two successors): the caller then applies the
// updates in turn.
bool zone_text_rewrite_batch(std::span<const char> text, std::span<const zone_text_record> recs,
                             zone_text_date today, zone_text_batch *batch,
                             std::span<zone_text_status> status);
