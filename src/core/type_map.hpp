// Open-addressing map keyed by type identity, shared by the per-thread class caches.
// It owns neither keys nor values: its owner releases them, and tells it which entries
// belong to classes that have died.
#pragma once
#include <cstdint>
#include <cstdlib>

#include "core/compat.hpp"

namespace sprig {

/// Map from a type object's address to a trivially copyable V. Linear probing on the high
/// bits of a multiplicative hash; kept at most half full, so probes stay short.
template <class V>
class TypeMap {
public:
    struct Slot {
        PyTypeObject* key;  // null: empty
        V value;
    };

    TypeMap() = default;
    TypeMap(const TypeMap&) = delete;
    TypeMap& operator=(const TypeMap&) = delete;
    ~TypeMap() { std::free(slots_); }

    /// Room for `capacity` slots (a power of two); false when memory is exhausted.
    [[nodiscard]] bool init(size_t capacity) { return rehash(capacity); }

    /// The map's state as plain values, for loops that keep it in registers. Slots are
    /// found by byte offset, which saves the scaling of an index on the walks' hot path.
    struct View {
        Slot* slots;
        size_t byte_mask;  // the slot count less one, times the slot size
        [[gnu::always_inline]] V* find(PyTypeObject* key) const {
            char* base = reinterpret_cast<char*>(slots);
            size_t at = home_offset(key, byte_mask);
            for (;;) {
                Slot& s = *reinterpret_cast<Slot*>(base + at);
                if (s.key == key) [[likely]]
                    return &s.value;
                if (!s.key) return nullptr;
                at = (at + sizeof(Slot)) & byte_mask;
            }
        }
    };
    View view() const { return {slots_, mask_ * sizeof(Slot)}; }

    [[gnu::always_inline]] V* find(PyTypeObject* key) const { return view().find(key); }

    /// The number of entries.
    size_t size() const { return used_; }

    /// Whether a new key would make the map grow: the owner's cue to sweep() first.
    bool at_limit() const { return (used_ + 1) * 2 > mask_ + 1; }

    /// Rebuilds the map with the entries for which `keep(key, value)` holds and passes the
    /// others to `drop(key, value)`, in a table at least `min_capacity` large (a power of two)
    /// and at least four times the kept count, so that a quarter of the table fills before
    /// the next sweep: sweeping stays amortized constant per insertion. `keep` runs twice per
    /// entry and must answer alike. False when memory is exhausted; the map is then unchanged.
    template <class Keep, class Drop>
    [[nodiscard]] bool sweep(Keep&& keep, Drop&& drop, size_t min_capacity) {
        size_t kept = 0;
        for (size_t i = 0; slots_ && i <= mask_; ++i)
            if (slots_[i].key && keep(slots_[i].key, slots_[i].value)) ++kept;
        size_t capacity = min_capacity;
        while (capacity < (kept + 1) * 4) capacity *= 2;
        return rehash(capacity, keep, drop);
    }

    /// Inserts or replaces; returns the stored value, or null when memory is exhausted.
    V* put(PyTypeObject* key, V value) {
        if ((used_ + 1) * 2 > mask_ + 1 && !rehash((mask_ + 1) * 2)) return nullptr;
        size_t i = home(key, mask_);
        while (slots_[i].key && slots_[i].key != key) i = (i + 1) & mask_;
        if (!slots_[i].key) ++used_;
        slots_[i].key = key;
        slots_[i].value = value;
        return &slots_[i].value;
    }

    template <class F>
    void for_each(F&& f) {
        for (size_t i = 0; slots_ && i <= mask_; ++i)
            if (slots_[i].key) f(slots_[i].key, slots_[i].value);
    }

private:
    // Type objects are large and 16-byte aligned: their addresses' middle bits spread them
    // well enough without a multiplication on the walks' hot path.
    static size_t home(PyTypeObject* key, size_t mask) {
        return static_cast<size_t>(reinterpret_cast<uintptr_t>(key) >> 4) & mask;
    }
    // home() times the slot size, in one multiplication by a power of two: the bits below
    // bit 4 of the address land below the slot size, where the mask clears them.
    static_assert(sizeof(Slot) >= 16 && (sizeof(Slot) & (sizeof(Slot) - 1)) == 0);
    static size_t home_offset(PyTypeObject* key, size_t byte_mask) {
        return static_cast<size_t>(reinterpret_cast<uintptr_t>(key) * (sizeof(Slot) / 16)) &
               byte_mask;
    }

    bool rehash(size_t capacity) {
        return rehash(capacity, [](PyTypeObject*, const V&) { return true; },
                      [](PyTypeObject*, V&) {});
    }

    // Moves the entries that `keep` accepts into a fresh table of `capacity` slots and
    // hands the others to `drop`.
    template <class Keep, class Drop>
    bool rehash(size_t capacity, Keep&& keep, Drop&& drop) {
        Slot* fresh = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (!fresh) return false;
        Slot* old = slots_;
        size_t old_cap = slots_ ? mask_ + 1 : 0;
        slots_ = fresh;
        mask_ = capacity - 1;
        used_ = 0;
        for (size_t i = 0; i < old_cap; ++i) {
            if (!old[i].key) continue;
            if (keep(old[i].key, old[i].value))
                put(old[i].key, old[i].value);
            else
                drop(old[i].key, old[i].value);
        }
        std::free(old);
        return true;
    }

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
};

}  // namespace sprig
