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
// No peer may make a send slow for the others. A binding whose match hits
// PCRE2's limits is disabled for its holder; every match is timed and
// charged (message_budget.h), and owners over budget are left out of the
// rest of the message and listed in over_budget(), for the caller to
// disconnect.
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
#include "message_budget.h"
#include "pattern.h"

namespace ivy {

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
    BudgetLimits budget{};
};

class BindingTable {
public:
    explicit BindingTable(TableLimits limits = {},
                          MessageBudget::CpuClock cpu_clock = MatchClock::thread_cpu_time)
        : limits_(limits), budget_(limits.budget, cpu_clock) {}

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
    // Bytes the owner's bindings are charged (texts, compiled forms and
    // bookkeeping; shared texts in full), and what the table holds in all
    // (each text once).
    std::size_t memory_of(Owner owner) const;
    std::size_t memory() const { return memory_; }

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

    // The owners put over budget during the last match(), in order, with why.
    const std::vector<Over>& over_budget() const { return budget_.over(); }

private:
    struct Entry {
        std::unique_ptr<Pattern> pattern;  // never null: its text is the key
        std::vector<Holder> holders;       // oldest first; walked backwards
        const std::string& text() const { return pattern->text(); }
    };

    struct OwnerRecord {
        std::map<int, Entry*> ids;
        Spend spend;  // its holders point here; map nodes never move
        std::size_t text_bytes = 0;
        std::size_t memory = 0;
    };

    using Entries = std::list<Entry>;

    AddResult check_room(const OwnerRecord& record, const Entry* old, std::string_view text) const;
    Entry* entry_for(std::string_view text, const OwnerRecord& record, const Entry* old,
                     AddResult& result);
    void attach(OwnerRecord& record, Owner owner, int id, Entry& entry);
    void detach(OwnerRecord& record, Owner owner, int id, Entry* entry);
    bool takes_part(const Holder& holder, Owner only) const;
    bool runs_for(const Entry& entry, Owner only) const;
    void charge(const Entry& entry, Owner only, std::chrono::nanoseconds cost, bool crowded,
                MatchResult result);

    TableLimits limits_;
    Entries entries_;  // in order of first arrival; a list keeps erasing O(1)
    std::unordered_map<std::string_view, Entries::iterator> by_text_;  // views Entry::text()
    std::unordered_map<Owner, OwnerRecord> by_owner_;
    std::size_t memory_ = 0;
    std::string payload_;
    MessageBudget budget_;
    MatchClock clock_;
};

template <typename Fn>
void BindingTable::for_each_binding(Owner owner, Fn&& fn) const {
    const auto it = by_owner_.find(owner);
    if (it == by_owner_.end()) return;
    for (const auto& [id, entry] : it->second.ids) fn(id, std::string_view(entry->text()));
}

template <typename Emit>
void BindingTable::match(std::string_view text, Owner only, Emit&& emit) {
    budget_.begin();
    for (const Entry& entry : entries_) {
        if (!runs_for(entry, only)) continue;
        // Once crowded, each match is timed in CPU time and runs under tight
        // limits (message_budget.h).
        const bool crowded = budget_.crowded();
        payload_.clear();
        clock_.begin(crowded);
        const MatchResult result = entry.pattern->append_msg_payload(
            text, payload_, crowded ? MatchLimits::tight : MatchLimits::usual);
        charge(entry, only, clock_.end(), crowded, result);
        if (result == MatchResult::no_match) continue;
        for (auto h = entry.holders.rbegin(); h != entry.holders.rend(); ++h) {
            if (!takes_part(*h, only)) continue;
            emit(*h, result, std::string_view(payload_));
            if (result == MatchResult::limit_hit) h->disabled = true;
        }
    }
}

}  // namespace ivy
