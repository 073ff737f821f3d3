#include "binding_table.h"

#include <algorithm>
#include <iterator>

namespace ivy {
namespace {

// The most one match is charged. A match at PCRE2's limits takes about half
// a millisecond here; a figure beyond this cap is time the kernel gave to
// other processes while we matched, and must not push a good peer over.
constexpr std::chrono::microseconds max_match_charge{2000};

}  // namespace

BindingTable::Entry& BindingTable::entry_for(std::string_view text) {
    const auto found = by_text_.find(text);
    if (found != by_text_.end()) return *found->second;
    Entry& entry = entries_.emplace_back();
    entry.text = std::string(text);
    entry.pattern = Pattern::compile(text, &entry.error);
    by_text_.emplace(std::string_view(entry.text), std::prev(entries_.end()));
    return entry;
}

bool BindingTable::takes_part(const Holder& holder, Owner only) const {
    if (only != nullptr && holder.owner != only) return false;
    if (holder.disabled || holder.spend->suspended) return false;
    return holder.spend->message != message_ || !holder.spend->over;
}

bool BindingTable::runs_for(const Entry& entry, Owner only) const {
    return std::any_of(entry.holders.begin(), entry.holders.end(),
                       [&](const Holder& h) { return takes_part(h, only); });
}

// A wall-clock figure past the budget is capped by the CPU time spent since
// the owner's mark before anyone is blamed (see match_clock.h).
void BindingTable::charge(const Entry& entry, Owner only, std::chrono::nanoseconds cost) {
    cost = std::min<std::chrono::nanoseconds>(cost, max_match_charge);
    for (const Holder& holder : entry.holders) {
        if (!takes_part(holder, only)) continue;
        Spend& spend = *holder.spend;
        if (spend.message != message_) {
            const bool suspended = spend.suspended;
            spend = Spend{};
            spend.message = message_;
            spend.suspended = suspended;
        }
        if (spend.last_entry == &entry) continue;
        spend.last_entry = &entry;
        spend.time += cost;
        if (!spend.marked && spend.time > budget_ / 2) {
            spend.marked = true;
            spend.time_at_mark = spend.time;
            spend.cpu_at_mark = MatchClock::thread_cpu_time();
        }
        if (spend.time <= budget_) continue;
        const auto cpu_since = MatchClock::thread_cpu_time() - spend.cpu_at_mark;
        spend.time = std::min(spend.time, spend.time_at_mark + cpu_since);
        if (spend.time <= budget_) continue;
        spend.over = true;
        over_budget_.push_back(holder.owner);
    }
}

void BindingTable::drop_holder(Entry* entry, Owner owner, int id) {
    auto& holders = entry->holders;
    holders.erase(std::remove_if(holders.begin(), holders.end(),
                                 [&](const Holder& h) { return h.owner == owner && h.id == id; }),
                  holders.end());
    if (!holders.empty()) return;
    const auto found = by_text_.find(std::string_view(entry->text));
    const auto position = found->second;
    by_text_.erase(found);
    entries_.erase(position);
}

AddResult BindingTable::add(Owner owner, int id, std::string_view text, std::size_t max_per_owner) {
    OwnerRecord& record = by_owner_[owner];
    auto& ids = record.ids;
    AddResult result;
    const auto it = ids.find(id);
    if (it != ids.end()) {
        if (it->second->text == text) return {AddOutcome::unchanged, nullptr};
        drop_holder(it->second, owner, id);
        ids.erase(it);
        result.outcome = AddOutcome::replaced;
    } else if (ids.size() >= max_per_owner) {
        if (ids.empty()) by_owner_.erase(owner);
        return {AddOutcome::too_many, nullptr};
    }
    Entry& entry = entry_for(text);
    entry.holders.push_back(Holder{owner, id, 0, false, &record.spend});
    ids.emplace(id, &entry);
    if (!entry.pattern) result.error = &entry.error;
    return result;
}

std::optional<std::string> BindingTable::remove(Owner owner, int id) {
    const auto owner_it = by_owner_.find(owner);
    if (owner_it == by_owner_.end()) return std::nullopt;
    auto& ids = owner_it->second.ids;
    const auto it = ids.find(id);
    if (it == ids.end()) return std::nullopt;
    std::optional<std::string> text = it->second->text;
    drop_holder(it->second, owner, id);
    ids.erase(it);
    if (ids.empty()) by_owner_.erase(owner_it);
    return text;
}

void BindingTable::remove_owner(Owner owner) {
    const auto owner_it = by_owner_.find(owner);
    if (owner_it == by_owner_.end()) return;
    for (const auto& [id, entry] : owner_it->second.ids) drop_holder(entry, owner, id);
    by_owner_.erase(owner_it);
}

void BindingTable::suspend(Owner owner) {
    const auto it = by_owner_.find(owner);
    if (it != by_owner_.end()) it->second.spend.suspended = true;
}

std::size_t BindingTable::count(Owner owner) const {
    const auto it = by_owner_.find(owner);
    return it == by_owner_.end() ? 0 : it->second.ids.size();
}

}  // namespace ivy
