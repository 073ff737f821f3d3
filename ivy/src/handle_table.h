// Handles that stay harmless after their object is gone.
//
// A C handle (TimerId, Channel) is a slot index and a generation packed into a
// pointer-sized integer that is never dereferenced. Freeing a slot bumps its
// generation, so a stale handle (removed twice, finished, never issued) does
// not resolve, instead of touching freed or reused memory. Slots are reused,
// so the table only grows to the peak number of live objects and a steady
// program allocates nothing here. The generation wraps after 2^32 reuses of
// one slot (on 64-bit), the one case where a very old handle could alias.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace ivy {

template <typename T>
class HandleTable {
public:
    using Handle = std::uintptr_t;

    // Stores value; returns its handle, never 0.
    Handle insert(T value) {
        std::size_t index;
        if (free_.empty()) {
            index = slots_.size();
            slots_.push_back(Slot{});
        } else {
            index = free_.back();
            free_.pop_back();
        }
        Slot& slot = slots_[index];
        slot.value.emplace(std::move(value));
        return encode(index, slot.generation);
    }

    // The live object of handle, or nullptr. Valid until the next insert or
    // the erase of that handle.
    T* find(Handle handle) {
        std::size_t index = 0;
        if (!decode(handle, index)) return nullptr;
        return &*slots_[index].value;
    }

    // Takes the object out and frees its slot; nullopt for a stale handle.
    std::optional<T> take(Handle handle) {
        std::size_t index = 0;
        if (!decode(handle, index)) return std::nullopt;
        Slot& slot = slots_[index];
        std::optional<T> out = std::move(slot.value);
        slot.value.reset();
        ++slot.generation;
        free_.push_back(index);
        return out;
    }

    bool erase(Handle handle) { return take(handle).has_value(); }

    // Visits every live object with its handle, in slot order. fn must not
    // insert or erase.
    template <typename Fn>
    void for_each(Fn&& fn) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].value) fn(encode(i, slots_[i].generation), *slots_[i].value);
        }
    }

private:
    static constexpr unsigned index_bits = sizeof(Handle) * 4;
    static constexpr Handle index_mask = (Handle{1} << index_bits) - 1;

    struct Slot {
        std::optional<T> value;
        Handle generation = 0;
    };

    static Handle encode(std::size_t index, Handle generation) {
        return ((generation & index_mask) << index_bits) | (static_cast<Handle>(index) + 1);
    }

    bool decode(Handle handle, std::size_t& index) const {
        Handle low = handle & index_mask;
        if (low == 0 || low > slots_.size()) return false;
        index = static_cast<std::size_t>(low - 1);
        const Slot& slot = slots_[index];
        return slot.value.has_value() && (slot.generation & index_mask) == (handle >> index_bits);
    }

    std::vector<Slot> slots_;
    std::vector<std::size_t> free_;
};

}  // namespace ivy
