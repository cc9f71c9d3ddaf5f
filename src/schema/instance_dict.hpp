// Direct reads of a node's instance dictionary. The entry table is read in place only when
// the dictionary has the combined, str-keyed layout of this interpreter build, verified once
// at import; every other dictionary is read through its own API, never as if it had it.
#pragma once
#include "core/compat.hpp"

#include <cstdint>
#include <type_traits>

namespace sprig {

/// The entries of a combined dictionary whose keys are all str: key and value, in insertion
/// order; a deleted entry has null key and value.
struct UnicodeEntry {
    PyObject* key;    // borrowed
    PyObject* value;  // borrowed
};

namespace detail {
// The keys object of a dictionary, as this interpreter build lays it out.
struct DictKeys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0 general, 1 str keys, 2 split
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
constexpr uint8_t kStrKeys = 1;
extern bool g_layout_verified;  // what the import-time check found
extern bool g_direct_reads;     // in effect: verified and not turned off since

}  // namespace detail

/// The instance dictionary of `node`, or null when its type keeps none at a fixed positive
/// offset or none was made yet.
[[gnu::always_inline]] inline PyObject* instance_dict(PyObject* node) {
    Py_ssize_t offset = Py_TYPE(node)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + offset);
}

/// Whether the entry tables of this interpreter build may be read in place at all.
inline bool direct_reads() { return detail::g_direct_reads; }

/// Turns direct reads off (`enable` false) or back on where the import-time check allowed
/// them, so that tests can run every walk through the dictionary API on any interpreter.
/// Returns whether they are in effect now. A walk that already started keeps its mode.
bool set_direct_reads(bool enable);

/// str_entries() for loops that checked direct_reads() once beforehand. A table of str keys
/// is always combined: split tables, whose values live apart, have a kind of their own.
[[gnu::always_inline]] inline const UnicodeEntry* str_entries_unchecked(PyObject* dict,
                                                                        Py_ssize_t* count) {
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto* keys = reinterpret_cast<const detail::DictKeys*>(d->ma_keys);
    if (keys->kind != detail::kStrKeys) [[unlikely]]
        return nullptr;
    *count = keys->nentries;
    return reinterpret_cast<const UnicodeEntry*>(keys->indices +
                                                 (size_t{1} << keys->log2_index_bytes));
}

/// The entry table of `dict` with its used length in `*count`, or null when the dictionary
/// must be read through the dictionary API instead.
[[gnu::always_inline]] inline const UnicodeEntry* str_entries(PyObject* dict, Py_ssize_t* count) {
    return direct_reads() ? str_entries_unchecked(dict, count) : nullptr;
}

/// The keys object of `dict`, for prefetching only.
inline const void* dict_keys_address(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys;
}

/// Asks for the memory that a pre-order walk reads a few nodes after `node`, whose
/// instance dictionary is `dict`, when the tree came from the parser: it makes each node,
/// then its dictionary and key table, in pre-order, each kind of object from its own pool,
/// so what the next nodes need lies a little higher in each pool. A key table spans about
/// three cache lines, and the walk reads the entries past the first. The misses of a deep
/// walk then overlap instead of coming one after another; on other trees the requests
/// are merely wasted, as a prefetch never faults.
[[gnu::always_inline]] inline void prefetch_parse_order(PyObject* node, PyObject* dict) {
    constexpr int kNodesAhead = 512;    // bytes: about ten nodes, or ten dictionaries
    constexpr int kTablesAhead = 2048;  // bytes: about ten key tables
    __builtin_prefetch(reinterpret_cast<const char*>(node) + kNodesAhead, 0, 3);
    __builtin_prefetch(reinterpret_cast<const char*>(dict) + kNodesAhead, 0, 3);
    const char* keys = static_cast<const char*>(dict_keys_address(dict)) + kTablesAhead;
    __builtin_prefetch(keys, 0, 3);
    __builtin_prefetch(keys + 64, 0, 3);
    __builtin_prefetch(keys + 128, 0, 3);
}

/// Calls `read(std::integral_constant<uint32_t, K>{})` with K = `count` when it is 1 to 7,
/// else with K = 0. Every class of the ast module has at most seven fields: a loop over
/// the fields whose count is known at compile time unrolls, and a field then costs only
/// its key comparison and its value.
template <class Read>
[[gnu::always_inline]] inline decltype(auto) with_field_count(size_t count, Read&& read) {
    switch (count) {
        case 1: return read(std::integral_constant<uint32_t, 1>{});
        case 2: return read(std::integral_constant<uint32_t, 2>{});
        case 3: return read(std::integral_constant<uint32_t, 3>{});
        case 4: return read(std::integral_constant<uint32_t, 4>{});
        case 5: return read(std::integral_constant<uint32_t, 5>{});
        case 6: return read(std::integral_constant<uint32_t, 6>{});
        case 7: return read(std::integral_constant<uint32_t, 7>{});
        default: return read(std::integral_constant<uint32_t, 0>{});
    }
}

/// Checks, on a freshly made ast node, that its dictionary reads back through the layout
/// above exactly as through the dictionary API; direct reads stay off if it does not.
/// Runs once per process; never fails (a failure just leaves direct reads off).
void verify_dict_layout();

/// The value stored under the str `name` in `dict`, found by scanning the entries through the
/// dictionary API and comparing the characters of str keys that hash as str does, so it
/// runs no Python code whatever else the dictionary holds. Borrowed; null when absent.
PyObject* find_str_key(PyObject* dict, PyObject* name);

}  // namespace sprig
