// The regular expressions our peers bound, and matching a text against them.
// Pure: no sockets; a peer is only an opaque owner pointer here.
//
// Principles: each distinct regexp text is compiled once, whoever sent it,
// and matched once per text sent; every (peer, id) holding it then gets the
// same payload. The order is the one classic agents produce, so that our
// Msg lines come out in the order recorded from them: distinct texts in the
// order each was first received, and for one text its holders most recently
// added first. A text nobody holds any more is forgotten (a hostile peer
// cannot grow the table by binding and unbinding).
//
// What one owner may hold is bounded: the number of its bindings, the
// length of each text, their texts together, and the memory their compiled
// forms take (each shared text counted in full for every owner holding it).
// A request beyond a bound, or a text that does not compile, is refused
// whole: nothing is stored and the id keeps what it held. Where classic
// agents keep a regexp that does not compile (it never matches), we do not:
// it would cost memory for nothing.
//
// Matching goes owner by owner (match_owner), so that the caller can serve
// its peers in an order of its choosing and stop one owner's matching part
// way, to go on from there later: the caller schedules, the table only
// matches. What decides about an owner is deterministic, the same on every
// machine however fast or busy: a binding whose match hits PCRE2's limits
// (which count steps, not time) is disabled for its holder, and the owner's
// count of such bindings grows (limit_hits), for the caller to judge.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ivy_limits.h"
#include "match_clock.h"
#include "pattern.h"

namespace ivy {

using Owner = void*;  // the peer that bound a regexp, never dereferenced here

struct Holder {
    Owner owner = nullptr;
    int id = 0;
    // Faults already reported for this binding (MatchResult values as bits),
    // so a binding that keeps failing is reported once, not on every send.
    mutable std::uint32_t reported = 0;
    // The regexp hit PCRE2's limits for this holder: it is not run for it again.
    mutable bool disabled = false;
};

enum class AddOutcome {
    added,            // a new id for this owner
    unchanged,        // the id already held this very text
    replaced,         // the id held another text, which it no longer does
    too_many,         // the owner holds its most bindings already
    too_long,         // the text is longer than one regexp may be
    too_much_text,    // the owner's texts together would pass their bound
    too_much_memory,  // compiled, the owner's bindings would take too much memory
    not_compiled,     // the text does not compile (AddResult::error says why)
};

// Whether an outcome stored the text.
constexpr bool stored(AddOutcome outcome) {
    return outcome == AddOutcome::added || outcome == AddOutcome::replaced;
}

struct AddResult {
    AddOutcome outcome = AddOutcome::added;
    CompileError error;  // for not_compiled
    // CPU time spent compiling the text for this request (zero when another
    // owner's binding had compiled it already), refused or not.
    std::chrono::nanoseconds compile_time{};
};

struct TableLimits {
    std::size_t bindings = max_bindings_per_peer;
    std::size_t text_length = max_regexp_length;
    std::size_t text_per_owner = max_regexp_text_per_peer;
    std::size_t memory_per_owner = max_regexp_memory_per_peer;
};

// Where one owner's matching of one message stands: the arrival number of
// the next regexp to run; match_done once every regexp has run.
using MatchPosition = std::uint64_t;
inline constexpr MatchPosition match_start = 0;
inline constexpr MatchPosition match_done = UINT64_MAX;

class BindingTable {
public:
    explicit BindingTable(TableLimits limits = {}) : limits_(limits) {}

    AddResult add(Owner owner, int id, std::string_view text);

    // Whether add(owner, id, text) would compile text: nobody holds it yet,
    // and no bound refuses it first.
    bool would_compile(Owner owner, int id, std::string_view text) const;

    // The text the owner's id held; nullopt (nothing done) if it held none.
    std::optional<std::string> remove(Owner owner, int id);

    // Forgets every binding of owner, or at most `most` of them; true once
    // owner holds none.
    bool remove_owner(Owner owner, std::size_t most = SIZE_MAX);

    // Leaves owner's bindings out of every later match, until remove_owner().
    // Freeing a thousand compiled regexps takes milliseconds: a caller in a
    // hurry suspends now and removes later.
    void suspend(Owner owner);

    std::size_t count(Owner owner) const;
    // How many of the owner's bindings hit PCRE2's limits since it first
    // bound a regexp, rebound ones included.
    std::size_t limit_hits(Owner owner) const;
    // Bytes the owner's bindings are charged (texts, compiled forms and
    // bookkeeping; shared texts in full), and what the table holds in all
    // (each text once).
    std::size_t memory_of(Owner owner) const;
    std::size_t memory() const { return memory_; }

    // Calls fn(id, text) for each binding of owner, by increasing id.
    template <typename Fn>
    void for_each_binding(Owner owner, Fn&& fn) const;

    // Matches text against owner's regexps, from position `from` on, in the
    // order of classic agents (texts as first received; the owner's ids
    // holding one text most recently added first), and calls emit(holder,
    // result, payload) for each whose result is not no_match; payload is
    // meaningful when result is matched and valid during the call. A holder
    // given limit_hit is disabled afterwards. Before each regexp but the
    // first, go_on() is asked whether to continue: when it says no, returns
    // where to go on from; else match_done. Nothing for a suspended owner.
    // emit must not change the table. Reuses its buffers: no allocation.
    template <typename Emit, typename GoOn>
    MatchPosition match_owner(Owner owner, std::string_view text, MatchPosition from, Emit&& emit,
                              GoOn&& go_on);

private:
    struct Entry {
        std::unique_ptr<Pattern> pattern;  // never null: its text is the key
        std::vector<Holder> holders;       // oldest first; walked backwards
        MatchPosition arrival = 0;         // in the order texts first came
        const std::string& text() const { return pattern->text(); }
    };

    struct OwnerRecord {
        std::map<int, Entry*> ids;
        // The entries it holds by arrival, with how many of its ids hold each.
        std::map<MatchPosition, std::pair<Entry*, int>> by_arrival;
        std::size_t text_bytes = 0;
        std::size_t memory = 0;
        std::size_t limit_hits = 0;
        bool suspended = false;  // for good: see suspend()
    };

    using Entries = std::list<Entry>;

    AddResult check_room(const OwnerRecord& record, const Entry* old, std::string_view text) const;
    Entry* entry_for(std::string_view text, const OwnerRecord& record, const Entry* old,
                     AddResult& result);
    void attach(OwnerRecord& record, Owner owner, int id, Entry& entry);
    void detach(OwnerRecord& record, Owner owner, int id, Entry* entry);

    TableLimits limits_;
    Entries entries_;  // in order of first arrival; a list keeps erasing O(1)
    std::unordered_map<std::string_view, Entries::iterator> by_text_;  // views Entry::text()
    std::unordered_map<Owner, OwnerRecord> by_owner_;
    MatchPosition next_arrival_ = match_start + 1;
    std::size_t memory_ = 0;
    std::string payload_;
    MatchClock clock_;
};

template <typename Fn>
void BindingTable::for_each_binding(Owner owner, Fn&& fn) const {
    const auto it = by_owner_.find(owner);
    if (it == by_owner_.end()) return;
    for (const auto& [id, entry] : it->second.ids) fn(id, std::string_view(entry->text()));
}

template <typename Emit, typename GoOn>
MatchPosition BindingTable::match_owner(Owner owner, std::string_view text, MatchPosition from,
                                        Emit&& emit, GoOn&& go_on) {
    const auto found = by_owner_.find(owner);
    if (found == by_owner_.end() || found->second.suspended) return match_done;
    OwnerRecord& record = found->second;
    bool first = true;
    for (auto it = record.by_arrival.lower_bound(from); it != record.by_arrival.end(); ++it) {
        if (!first && !go_on()) return it->first;
        first = false;
        Entry& entry = *it->second.first;
        const auto holds = [&](const Holder& h) { return h.owner == owner && !h.disabled; };
        if (std::none_of(entry.holders.begin(), entry.holders.end(), holds)) continue;
        payload_.clear();
        const MatchResult result = entry.pattern->append_msg_payload(text, payload_);
        if (result == MatchResult::no_match) continue;
        for (auto h = entry.holders.rbegin(); h != entry.holders.rend(); ++h) {
            if (!holds(*h)) continue;
            emit(*h, result, std::string_view(payload_));
            if (result != MatchResult::limit_hit) continue;
            h->disabled = true;
            ++record.limit_hits;
        }
    }
    return match_done;
}

}  // namespace ivy
