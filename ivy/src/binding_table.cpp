#include "binding_table.h"

#include <algorithm>
#include <iterator>

namespace ivy {

BindingTable::Entry& BindingTable::entry_for(std::string_view text) {
    const auto found = by_text_.find(text);
    if (found != by_text_.end()) return *found->second;
    Entry& entry = entries_.emplace_back();
    entry.text = std::string(text);
    entry.pattern = Pattern::compile(text, &entry.error);
    by_text_.emplace(std::string_view(entry.text), std::prev(entries_.end()));
    return entry;
}

bool BindingTable::holds(const Entry& entry, Owner owner) {
    return std::any_of(entry.holders.begin(), entry.holders.end(),
                       [owner](const Holder& h) { return h.owner == owner; });
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
    auto& ids = by_owner_[owner];
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
    entry.holders.push_back(Holder{owner, id, 0});
    ids.emplace(id, &entry);
    if (!entry.pattern) result.error = &entry.error;
    return result;
}

std::optional<std::string> BindingTable::remove(Owner owner, int id) {
    const auto owner_it = by_owner_.find(owner);
    if (owner_it == by_owner_.end()) return std::nullopt;
    const auto it = owner_it->second.find(id);
    if (it == owner_it->second.end()) return std::nullopt;
    std::optional<std::string> text = it->second->text;
    drop_holder(it->second, owner, id);
    owner_it->second.erase(it);
    if (owner_it->second.empty()) by_owner_.erase(owner_it);
    return text;
}

void BindingTable::remove_owner(Owner owner) {
    const auto owner_it = by_owner_.find(owner);
    if (owner_it == by_owner_.end()) return;
    for (const auto& [id, entry] : owner_it->second) drop_holder(entry, owner, id);
    by_owner_.erase(owner_it);
}

std::size_t BindingTable::count(Owner owner) const {
    const auto it = by_owner_.find(owner);
    return it == by_owner_.end() ? 0 : it->second.size();
}

}  // namespace ivy
