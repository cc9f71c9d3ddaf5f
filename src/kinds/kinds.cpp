// Kind sets built and remembered. Runs no Python code except to format an error, and keeps
// nothing alive: tuples and classes are known by address, classes watched by weak
// references, and an entry serves only a tuple that holds the items it was built from.
#include "kinds/kinds.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/frame.hpp"
#include "core/type_map.hpp"
#include "schema/class_version.hpp"

namespace sprig {

Result<Ref> tuple_argument(PyObject* value, const char* name) {
    if (PyTuple_Check(value)) [[likely]]
        return Ref::retain(value);
    Failure f = type_mismatch(value, &PyTuple_Type);
    add_argument_note(f, name);
    return fail(std::move(f));
}

Status KindSet::build(PyObject* tuple) {
    // PyTuple_GET_ITEM reads the stored items: a subclass's __getitem__ is never consulted.
    auto n = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
    uintptr_t* entries = inline_;
    if (n > KindSet::kInline) {
        if (!heap_.reserve(n)) return fail(no_memory());
        entries = heap_.data();
    }
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyType_Check(item)) return fail(type_mismatch(item, &PyType_Type));
        entries[i] = reinterpret_cast<uintptr_t>(item);
    }
    if (n <= KindSet::kInline) {
        // Insertion sort: the usual few classes cost less than a call to std::sort.
        for (size_t i = 1; i < n; ++i) {
            uintptr_t v = entries[i];
            size_t j = i;
            for (; j > 0 && entries[j - 1] > v; --j) entries[j] = entries[j - 1];
            entries[j] = v;
        }
    } else {
        std::sort(entries, entries + n);
    }
    entries_ = entries;
    size_ = static_cast<size_t>(std::unique(entries, entries + n) - entries);
    std::copy_n(entries, std::min(size_, std::size(small_)), small_);
    for (size_t i = 0; i < size_; ++i)
        filter_ |= uint64_t{1} << KindSet::filter_bit(entries[i]);
    return {};
}

// One remembered set. A set is a function of the addresses of the tuple's items and of
// nothing else (a walk compares Py_TYPE(node) with them; what a class holds, its _fields or
// its version, plays no part), so it is right for any tuple, the same object or a new one
// at the same address, whose items are the recorded addresses and are all classes.
//
// The addresses are compared at every use; that they are still classes is known without
// reading them: when the entry was stamped, every recorded address held a class watched by
// the cache, and while class_deaths() has not moved since, none of those classes died, so
// each still sits at its address. A death anywhere sends the entry back to be checked.
struct KindEntry {
    Grow<PyObject*> items;  // the items of the tuple it was built from, in order
    uint64_t deaths = 0;    // class_deaths() when the items were last found to be classes,
                            // or kNever
    uint32_t pins = 0;      // calls using `set` now: it must not be evicted
    KindSet set;
};

namespace {

constexpr uint64_t kNever = UINT64_MAX;  // a stamp no count of deaths reaches
constexpr size_t kSlots = 16;       // tuples remembered per thread
constexpr size_t kMaxItems = 4096;  // a longer tuple's set is built for each call
constexpr size_t kWatchSlots = 256;  // the watch map's least size
constexpr size_t kMaxWatches = 4096;  // beyond this, every watch is dropped and remade on use

// Slots in the order of recent use: a hit moves its entry one slot towards the front, and a
// new entry takes a free slot or the last one no call is using, so that a tuple used once
// evicts only what was used least.
//
// Every heap class named by a stamped entry has a watch: an owned weak reference that counts
// the class's death. Watches of dead classes go when the map would grow, or when a class at
// the same address needs one; live ones only all at once, with every stamp (forget()).
struct KindCache {
    PyObject* keys[kSlots] = {};  // the tuples' addresses, an identity only; null: free
    KindEntry* entries[kSlots] = {};  // owned; null where the key is null
    TypeMap<PyObject*> watches;       // class → its watch
    uint64_t swept = 0;               // class_deaths() when dead watches were last swept
    KindCache() = default;
    KindCache(const KindCache&) = delete;
    KindCache& operator=(const KindCache&) = delete;
    ~KindCache() {
        for (KindEntry* e : entries) delete e;
        watches.for_each([](PyTypeObject*, PyObject*& watch) { release_cached(watch); });
    }
};

// The thread's cache, destroyed with the thread; its weak references are released through
// release_cached, as a thread-exit destructor must. Read on every call, so a plain pointer:
// its holder is
// touched only when the cache is made. The state byte is trivially destructible, so it
// still reads "destroyed" for anything that runs after the holder's destructor.
enum class CacheState : uint8_t { unused, alive, destroyed };
thread_local CacheState t_cache_state = CacheState::unused;
thread_local KindCache* t_cache = nullptr;

struct CacheHolder {
    KindCache* cache = nullptr;
    ~CacheHolder() {
        t_cache_state = CacheState::destroyed;
        t_cache = nullptr;
        delete cache;
    }
};
thread_local CacheHolder t_cache_holder;

// The calling thread's cache, or null when it cannot have one (gone at thread exit, or no
// memory): the caller then builds its set for the call alone.
KindCache* thread_cache() {
    if (KindCache* cache = t_cache) [[likely]]
        return cache;
    if (t_cache_state == CacheState::destroyed) return nullptr;
    std::unique_ptr<KindCache> made(new (std::nothrow) KindCache());
    if (!made || !made->watches.init(kWatchSlots)) return nullptr;
    KindCache* cache = made.release();
    t_cache_holder.cache = cache;
    t_cache_state = CacheState::alive;
    t_cache = cache;
    return cache;
}

// Whether `tuple` holds, in order, the addresses `entry` was built from.
bool same_items(PyObject* tuple, const KindEntry& entry) {
    size_t n = entry.items.size();
    if (static_cast<size_t>(PyTuple_GET_SIZE(tuple)) != n) return false;
    PyObject* const* live = &PyTuple_GET_ITEM(tuple, 0);
    return std::memcmp(live, entry.items.data(), n * sizeof(PyObject*)) == 0;
}

bool watch_alive(PyTypeObject*, PyObject* watch) { return class_alive(watch); }
void drop_watch(PyTypeObject*, PyObject*& watch) { release_cached(watch); }

// Gives the class `type` a watch, unless it has a live one or is static. False when none
// can be made (no memory); the pending exception is then cleared.
bool watch(KindCache& cache, PyTypeObject* type) {
    PyObject** known = cache.watches.find(type);
    if (known && class_alive(*known)) return true;
    auto made = watch_class_death(type);
    if (!made) return false;  // the failure's exception is dropped with it
    if (!*made) return true;
    if (known) {  // a class died here, and this one took its address
        release_cached(*known);
        *known = *made;
        return true;
    }
    bool room = !cache.watches.at_limit() ||
                cache.watches.sweep(watch_alive, drop_watch, kWatchSlots);
    if (!room || !cache.watches.put(type, *made)) {
        release_cached(*made);
        return false;
    }
    return true;
}

// Drops every watch, and with them every entry's stamp: the entries are checked again at
// their next use. Keeps the watches of classes that live on but are no longer named bounded.
void forget(KindCache& cache) {
    auto none = [](PyTypeObject*, PyObject*) { return false; };
    if (!cache.watches.sweep(none, drop_watch, kWatchSlots)) return;  // kept, stamps too
    for (KindEntry* e : cache.entries)
        if (e) e->deaths = kNever;
}

// Stamps `entry`, whose items `tuple` holds, with `deaths` when every item is a class with
// a watch. False when an item is no class (the build will report it) or cannot be watched.
bool stamp(KindCache& cache, PyObject* tuple, KindEntry& entry, uint64_t deaths) {
    for (size_t i = 0, n = entry.items.size(); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (!PyType_Check(item) || !watch(cache, reinterpret_cast<PyTypeObject*>(item)))
            return false;
    }
    entry.deaths = deaths;
    return true;
}

// The slot of `tuple`, or kSlots.
size_t slot_of(const KindCache& cache, PyObject* tuple) {
    for (size_t i = 0; i < kSlots; ++i)
        if (cache.keys[i] == tuple) return i;
    return kSlots;
}

// The slot a new entry takes: the first free one, else the last whose entry no call is
// using; kSlots when every entry is in use.
size_t victim(const KindCache& cache) {
    for (size_t i = 0; i < kSlots; ++i)
        if (!cache.keys[i]) return i;
    for (size_t i = kSlots; i-- > 0;)
        if (!cache.entries[i]->pins) return i;
    return kSlots;
}

}  // namespace

CallKindSet::~CallKindSet() {
    if (entry_) --entry_->pins;
}

Status find_kind_set(PyObject* tuple, CallKindSet& out) {
    auto n = static_cast<size_t>(PyTuple_GET_SIZE(tuple));
    // A few classes are sorted in place in less time than it takes to compare them with
    // the remembered ones.
    if (n <= KindSet::kInline || n > kMaxItems) return out.own_.build(tuple);
    KindCache* cache = thread_cache();
    if (!cache) return out.own_.build(tuple);
    if (cache->watches.size() > kMaxWatches) [[unlikely]]
        forget(*cache);
    uint64_t deaths = class_deaths();  // read first: a death from now on is seen next time
    // A watched class died: its watch goes now rather than when the map fills, so that a
    // program making and dropping classes keeps no more watches than it has live classes.
    if (deaths != cache->swept) [[unlikely]] {
        if (cache->watches.sweep(watch_alive, drop_watch, kWatchSlots)) cache->swept = deaths;
    }
    size_t at = slot_of(*cache, tuple);
    if (at < kSlots) {
        KindEntry* known = cache->entries[at];
        if (same_items(tuple, *known) &&
            (known->deaths == deaths || stamp(*cache, tuple, *known, deaths))) [[likely]] {
            ++known->pins;
            out.entry_ = known;
            out.set_ = &known->set;
            if (at > 0) {
                std::swap(cache->keys[at], cache->keys[at - 1]);
                std::swap(cache->entries[at], cache->entries[at - 1]);
            }
            return {};
        }
        // An outer call of this thread uses the entry: it stays as it is until that ends.
        if (known->pins) return out.own_.build(tuple);
    } else {
        at = victim(*cache);
        if (at == kSlots) return out.own_.build(tuple);
    }
    std::unique_ptr<KindEntry> fresh(new (std::nothrow) KindEntry());
    if (!fresh || !fresh->items.reserve(n)) return out.own_.build(tuple);
    SPRIG_TRY(fresh->set.build(tuple));
    for (size_t i = 0; i < n; ++i) fresh->items.push_unchecked(PyTuple_GET_ITEM(tuple, i));
    if (!stamp(*cache, tuple, *fresh, deaths)) return out.own_.build(tuple);
    fresh->pins = 1;
    delete cache->entries[at];
    cache->entries[at] = fresh.release();
    cache->keys[at] = tuple;
    out.entry_ = cache->entries[at];
    out.set_ = &out.entry_->set;
    return {};
}

}  // namespace sprig
