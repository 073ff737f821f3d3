#include "message_budget.h"

#include <algorithm>

namespace ivy {

using Ns = std::chrono::nanoseconds;

void MessageBudget::begin() {
    ++message_;
    charged_.clear();
    over_.clear();
    total_ = {};
    crowded_ = false;
    total_marked_ = false;
    next_total_check_ = limits_.total;
}

// The owner's first charge in this message: its figures start afresh.
void MessageBudget::take_part(Spend& spend) {
    if (spend.message == message_) return;
    const Owner owner = spend.owner;
    const bool suspended = spend.suspended;
    spend = Spend{};
    spend.owner = owner;
    spend.message = message_;
    spend.suspended = suspended;
    spend.crowded = crowded_;  // from nothing: its allowance is all it gets
    charged_.push_back(&spend);
}

void MessageBudget::charge(Spend& spend, const void* entry, Ns cost) {
    take_part(spend);
    if (spend.over || spend.last_entry == entry) return;
    spend.last_entry = entry;
    spend.time += cost;
    judge(spend);
}

// Crowded charges are CPU time already; the others are capped by the CPU
// time spent since the owner's mark before anyone is blamed.
void MessageBudget::judge(Spend& spend) {
    if (spend.crowded) {
        if (spend.time - spend.crowded_base > limits_.crowded_allowance) {
            put_over(spend, OverReason::crowded);
        }
        return;
    }
    if (!spend.marked && spend.time > limits_.per_owner / 2) {
        spend.marked = true;
        spend.time_at_mark = spend.time;
        spend.cpu_at_mark = cpu_clock_();
    }
    if (spend.time <= limits_.per_owner) return;
    spend.time = std::min(spend.time, spend.time_at_mark + (cpu_clock_() - spend.cpu_at_mark));
    if (spend.time > limits_.per_owner) put_over(spend, OverReason::own_budget);
}

void MessageBudget::put_over(Spend& spend, OverReason reason) {
    take_part(spend);
    if (spend.over) return;
    spend.over = true;
    over_.push_back(Over{spend.owner, reason});
}

void MessageBudget::add_to_total(Ns cost) {
    total_ += cost;
    if (crowded_ || total_ <= limits_.total / 2) return;
    if (!total_marked_) {
        total_marked_ = true;
        total_at_mark_ = total_;
        cpu_at_mark_ = cpu_clock_();
    }
    if (total_ < next_total_check_) return;
    // The CPU clock is a system call: asked again only after another eighth
    // of the total, not after every match.
    total_ = std::min(total_, total_at_mark_ + (cpu_clock_() - cpu_at_mark_));
    if (total_ <= limits_.total) {
        next_total_check_ = total_ + limits_.total / 8;
        return;
    }
    crowded_ = true;
    shed_costliest();
}

// Sorting reorders only this message's list of owners; no allocation.
void MessageBudget::shed_costliest() {
    std::sort(charged_.begin(), charged_.end(),
              [](const Spend* a, const Spend* b) { return a->time > b->time; });
    Ns rest{};
    for (const Spend* spend : charged_) rest += spend->over ? Ns{} : spend->time;
    for (Spend* spend : charged_) {
        if (rest <= limits_.total) break;
        if (spend->over) continue;
        rest -= spend->time;
        put_over(*spend, OverReason::costliest);
    }
    for (Spend* spend : charged_) {
        spend->crowded = true;
        spend->crowded_base = spend->time;
    }
}

}  // namespace ivy
