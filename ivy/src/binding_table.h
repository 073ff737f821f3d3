// The regular expressions our peers bound, and matching a text against them.
// Pure: no sockets; a peer is only an opaque owner pointer here.
//
// Principles: each distinct regexp text is compiled once, whoever sent it,
// and matched once per text sent; every (peer, id) holding it then gets the
// same payload. The order is the one classic agents produce, so that our
// Msg lines come out in the order recorded from them: distinct texts in the
// order each was first received, and for one text its holders most recently
// added first. A text nobody holds any more is forgotten (a hostile peer
// cannot grow the table by binding and unbinding). The cost of a send is one
// match per distinct text, which max_bindings_per_peer bounds per peer.
//
// No peer may make a send slow for the others. A binding whose match hits
// PCRE2's limits is disabled for its holder. Every match is timed, and its
// time charged in full to every owner holding that text: an owner's charge
// is then what its bindings would cost were it alone on the bus, whoever
// else binds the same texts, and a hostile owner cannot hide behind good
// ones by binding their texts. An owner whose charge for one message passes
// the budget is left out of the rest of that message and listed in
// over_budget(), for the caller to disconnect.
#pragma once

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

// The matching time charged to one owner for the message being matched.
struct Spend {
    std::uint64_t message = 0;  // that message's number; older figures are stale
    std::chrono::nanoseconds time{};
    const void* last_entry = nullptr;  // charged once per entry, whatever its ids
    bool over = false;
    // Taken once time passes half the budget: with the CPU time since, a
    // bound on what this owner's matches can really have cost.
    bool marked = false;
    std::chrono::nanoseconds time_at_mark{};
    std::chrono::nanoseconds cpu_at_mark{};
    bool suspended = false;  // for good: see suspend()
};

struct Holder {
    Owner owner = nullptr;
    int id = 0;
    // Faults already reported for this binding (MatchResult values as bits),
    // so a binding that keeps failing is reported once, not on every send.
    mutable std::uint32_t reported = 0;
    // The regexp hit PCRE2's limits for this holder: it is not run for it again.
    mutable bool disabled = false;
    Spend* spend = nullptr;  // its owner's
};

enum class AddOutcome {
    added,      // a new id for this owner
    unchanged,  // the id already held this very text
    replaced,   // the id held another text, which it no longer does
    too_many,   // the owner holds max_per_owner bindings already: nothing stored
};

struct AddResult {
    AddOutcome outcome = AddOutcome::added;
    // Set when the text does not compile (Added or Replaced): the binding is
    // kept, never matches, and the owner should be told. Valid until the next
    // change to the table.
    const CompileError* error = nullptr;
};

class BindingTable {
public:
    explicit BindingTable(std::chrono::nanoseconds budget = matching_budget) : budget_(budget) {}

    AddResult add(Owner owner, int id, std::string_view text, std::size_t max_per_owner);

    // The text the owner's id held; nullopt (nothing done) if it held none.
    std::optional<std::string> remove(Owner owner, int id);

    // Forgets every binding of owner.
    void remove_owner(Owner owner);

    // Leaves owner's bindings out of every later match, until remove_owner().
    // Freeing a thousand compiled regexps takes milliseconds: a caller in a
    // hurry suspends now and removes later.
    void suspend(Owner owner);

    std::size_t count(Owner owner) const;

    // Calls fn(id, text) for each binding of owner, by increasing id.
    template <typename Fn>
    void for_each_binding(Owner owner, Fn&& fn) const;

    // Matches text against every distinct regexp (only those held by `only`
    // when it is not null) and calls emit(holder, result, payload) for each
    // holder of each regexp whose result is not no_match, in the order above,
    // leaving out disabled holders and owners over budget. payload is
    // meaningful when result is matched and valid during the call. A holder
    // given limit_hit is disabled afterwards. emit must not change the table.
    // Reuses its buffers: no allocation.
    template <typename Emit>
    void match(std::string_view text, Owner only, Emit&& emit);

    // The owners that went over budget during the last match(), in order.
    const std::vector<Owner>& over_budget() const { return over_budget_; }

private:
    struct Entry {
        std::string text;
        std::unique_ptr<Pattern> pattern;  // null when the text does not compile
        CompileError error;
        std::vector<Holder> holders;  // oldest first; walked backwards
    };

    struct OwnerRecord {
        std::map<int, Entry*> ids;
        Spend spend;  // its holders point here; map nodes never move
    };

    using Entries = std::list<Entry>;

    Entry& entry_for(std::string_view text);
    void drop_holder(Entry* entry, Owner owner, int id);
    bool takes_part(const Holder& holder, Owner only) const;
    bool runs_for(const Entry& entry, Owner only) const;
    void charge(const Entry& entry, Owner only, std::chrono::nanoseconds cost);

    Entries entries_;  // in order of first arrival; a list keeps erasing O(1)
    std::unordered_map<std::string_view, Entries::iterator> by_text_;  // views Entry::text
    std::unordered_map<Owner, OwnerRecord> by_owner_;
    std::string payload_;
    std::chrono::nanoseconds budget_;
    std::uint64_t message_ = 0;
    MatchClock clock_;
    std::vector<Owner> over_budget_;
};

template <typename Fn>
void BindingTable::for_each_binding(Owner owner, Fn&& fn) const {
    const auto it = by_owner_.find(owner);
    if (it == by_owner_.end()) return;
    for (const auto& [id, entry] : it->second.ids) fn(id, std::string_view(entry->text));
}

template <typename Emit>
void BindingTable::match(std::string_view text, Owner only, Emit&& emit) {
    ++message_;
    over_budget_.clear();
    for (const Entry& entry : entries_) {
        if (!entry.pattern || !runs_for(entry, only)) continue;
        payload_.clear();
        clock_.begin_match();
        const MatchResult result = entry.pattern->append_msg_payload(text, payload_);
        charge(entry, only, clock_.end_match());
        if (result == MatchResult::no_match) continue;
        for (auto h = entry.holders.rbegin(); h != entry.holders.rend(); ++h) {
            if (!takes_part(*h, only)) continue;
            emit(*h, result, std::string_view(payload_));
            if (result == MatchResult::limit_hit) h->disabled = true;
        }
    }
}

}  // namespace ivy
