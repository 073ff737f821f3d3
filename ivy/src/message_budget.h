// The matching time of one message we send: what each peer's bindings cost,
// and what all of them cost together. Pure: times are handed in.
//
// Principles: every match is timed and charged in full to every owner
// holding that regexp (a shared text is charged to each as if it were alone,
// so a hostile owner cannot hide behind good ones by binding their texts).
//  - An owner whose charge for one message passes its own budget is over.
//  - When the message as a whole passes the total budget, the owners charged
//    so far are put over costliest first, until the charges of the rest fit
//    within the total. The message is then crowded: every owner, old or new,
//    may add only a small allowance more, measured in CPU time, and the
//    remaining matches run under tight PCRE2 limits. A crowd of owners each
//    just under its own budget therefore costs a message about the total
//    budget plus one allowance per owner, not the sum of their budgets.
//  - Over owners take no further part in the message; the caller lets them
//    go (over()), with the reason.
// A wall-clock figure can include time the kernel gave other processes: a
// charge past a budget is first capped by the CPU time this thread really
// spent (see match_clock.h), so a loaded machine alone puts nobody over.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "ivy_limits.h"
#include "match_clock.h"

namespace ivy {

using Owner = void*;  // the peer that bound a regexp, never dereferenced here

// The matching time charged to one owner for the message being matched.
struct Spend {
    Owner owner = nullptr;
    std::uint64_t message = 0;  // that message's number; older figures are stale
    std::chrono::nanoseconds time{};
    const void* last_entry = nullptr;  // charged once per entry, whatever its ids
    bool over = false;
    // Taken once time passes half the owner's budget: with the CPU time
    // since, a bound on what this owner's matches can really have cost.
    bool marked = false;
    std::chrono::nanoseconds time_at_mark{};
    std::chrono::nanoseconds cpu_at_mark{};
    // Charged while the message was crowded: allowed crowded_allowance more
    // than crowded_base, in CPU time.
    bool crowded = false;
    std::chrono::nanoseconds crowded_base{};
    bool suspended = false;  // for good: see BindingTable::suspend()
};

// Why an owner was put over.
enum class OverReason {
    own_budget,  // its own bindings took more than matching_budget
    costliest,   // among the costliest when the message passed total_matching_budget
    crowded,     // went past its allowance while the message was crowded
};

struct Over {
    Owner owner = nullptr;
    OverReason reason = OverReason::own_budget;
};

struct BudgetLimits {
    std::chrono::nanoseconds per_owner = matching_budget;
    std::chrono::nanoseconds total = total_matching_budget;
    std::chrono::nanoseconds crowded_allowance = ivy::crowded_allowance;
};

class MessageBudget {
public:
    using CpuClock = std::chrono::nanoseconds (*)();

    // cpu_clock: the thread's CPU time (tests hand in one of their own).
    explicit MessageBudget(BudgetLimits limits = {},
                           CpuClock cpu_clock = MatchClock::thread_cpu_time)
        : limits_(limits), cpu_clock_(cpu_clock) {}

    // A new message. Reuses its buffers: no allocation once they have grown.
    void begin();

    // Whether the owner may still take part in this message.
    bool takes_part(const Spend& spend) const {
        return !spend.suspended && (spend.message != message_ || !spend.over);
    }

    // One match of `cost` charged to an owner holding it; call once per
    // entry and owner. `cost` is CPU time when crowded(), else wall time.
    void charge(Spend& spend, const void* entry, std::chrono::nanoseconds cost);
    // The same match counted once in the message's total; call after its
    // charges. May make the message crowded and put the costliest over.
    void add_to_total(std::chrono::nanoseconds cost);
    // Puts an owner over at once (a tight match that hit its limits).
    void put_over(Spend& spend, OverReason reason);

    bool crowded() const { return crowded_; }
    // The owners put over during this message, in order.
    const std::vector<Over>& over() const { return over_; }

private:
    void take_part(Spend& spend);
    void judge(Spend& spend);
    bool total_passed();
    void shed_costliest();

    BudgetLimits limits_;
    CpuClock cpu_clock_;
    std::uint64_t message_ = 0;
    std::vector<Spend*> charged_;  // owners charged in this message
    std::vector<Over> over_;
    std::chrono::nanoseconds total_{};
    bool crowded_ = false;
    bool total_marked_ = false;  // as Spend::marked, for the total
    std::chrono::nanoseconds total_at_mark_{};
    std::chrono::nanoseconds cpu_at_mark_{};
    std::chrono::nanoseconds next_total_check_{};
};

}  // namespace ivy
