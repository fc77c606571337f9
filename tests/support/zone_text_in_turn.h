// What a batch of zone text updates must give: the updates applied one
// after the other, each to the text the one before it left, with the serial
// the first rewrite wrote kept by the rest. Shared by the tests and the fuzz
// target of zone_text_rewrite_batch.
#pragma once

#include "server/zone_text.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

struct zone_text_turns {
    std::string text;
    std::vector<zone_text_status> status;
};

inline zone_text_turns zone_text_in_turn(std::string_view text,
                                         std::span<const zone_text_record> recs,
                                         zone_text_date today) {
    zone_text_turns r{std::string(text), {}};
    bool rewritten = false;
    for (const zone_text_record &rec : recs) {
        zone_text_out out;
        zone_text_status st = zone_text_rewrite(std::span<const char>(r.text.data(), r.text.size()),
                                                rec, today, &out);
        r.status.push_back(st);
        if (st != zone_text_status::rewrite)
            continue;
        std::string next;
        for (size_t i = 0; i < out.nparts; i++) {
            if (out.parts[i].data() == out.serial && rewritten)
                next.append(r.text, out.serial_at, out.old_len);
            else
                next.append(out.parts[i].data(), out.parts[i].size());
        }
        r.text = std::move(next);
        rewritten = true;
    }
    return r;
}

enum class zone_text_batch_check {
    in_turn, // the batch left the updates to be applied in turn
    agrees,  // the batch gave the text and statuses of the updates in turn
    differs, // *why says how
};

// A record whose line already read right passes as unchanged in turn where
// the batch may rewrite it to the same text; both leave the change in the
// file.
inline bool zone_text_status_agrees(zone_text_status batch, zone_text_status turn) {
    auto fine = [](zone_text_status s) {
        return s == zone_text_status::rewrite || s == zone_text_status::unchanged;
    };
    return batch == turn || (fine(batch) && fine(turn));
}

inline zone_text_batch_check zone_text_batch_compare(std::string_view text,
                                                     std::span<const zone_text_record> recs,
                                                     zone_text_date today, std::string *why) {
    std::span<const char> t(text.data(), text.size());
    std::vector<zone_text_owner> owners(zone_text_batch_owners(t));
    std::vector<zone_text_edit> edits(recs.size());
    std::vector<char> out(zone_text_batch_size(t, recs));
    std::vector<zone_text_status> status(recs.size());
    zone_text_batch b;
    b.owners = owners;
    b.edits = edits;
    b.text = out;
    if (!zone_text_rewrite_batch(t, recs, today, &b, status))
        return zone_text_batch_check::in_turn;
    std::string got = b.len == 0 ? std::string(text) : std::string(out.data(), b.len);
    zone_text_turns want = zone_text_in_turn(text, recs, today);
    for (size_t i = 0; i < recs.size(); i++)
        if (!zone_text_status_agrees(status[i], want.status[i])) {
            *why = "status of update " + std::to_string(i) + " (" + std::string(recs[i].name) +
                   "): batch " + std::to_string(static_cast<int>(status[i])) + ", in turn " +
                   std::to_string(static_cast<int>(want.status[i]));
            return zone_text_batch_check::differs;
        }
    if (got != want.text) {
        *why = "text: batch\n" + got + "\nin turn\n" + want.text;
        return zone_text_batch_check::differs;
    }
    return zone_text_batch_check::agrees;
}
