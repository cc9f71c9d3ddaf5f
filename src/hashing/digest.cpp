// subtree_digest and subtree_digests: the engine of hash_engine.hpp with a scheme that
// writes each node as a canonical byte record and hashes it with XXH3-128. Nothing that
// differs between processes (addresses, Python's seeded hashes) enters a record.
//
// A node's record: its class identity (16 bytes), then for each present field its
// position (u32) and its value, self-delimited by a tag; a child node enters by its
// digest, so a node is hashed once its children are. Little-endian throughout.
#include "hashing/digest.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "hashing/hash_engine.hpp"

namespace sprig {

namespace {

using engine::Leaf;

struct Digest {
    uint64_t lo, hi;
};

// The tag byte before each value in a record.
enum Tag : unsigned char {
    kNode = 0x01,      // + 16-byte digest
    kList = 0x02,      // + u64 count + that many values
    kNone = 0x03,
    kEllipsis = 0x04,
    kFalse = 0x05,
    kTrue = 0x06,
    kInt = 0x07,       // + i64: an int in [-2**63, 2**63)
    kWideInt = 0x08,   // + u64 n + n bytes: the shortest two's complement (n >= 9)
    kFloat = 0x09,     // + u64 IEEE-754 bits, every NaN as 0x7ff8000000000000
    kStr = 0x0a,       // + u64 n + n bytes of UTF-8, lone surrogates as 3-byte sequences
    kBytes = 0x0b,     // + u64 n + n bytes
    kRepr = 0x0c,      // + 16-byte class identity + u64 n + n bytes: the repr, as kStr
};

constexpr uint64_t kCanonicalNan = 0x7ff8000000000000ull;

inline Digest xxh3(const unsigned char* data, size_t n) {
    XXH128_hash_t h = XXH3_128bits(data, n);
    return {h.low64, h.high64};
}

// The bytes of the records being written: a node's record runs from its Acc's `base` to
// the end, the records of its unfinished ancestors lie below it. A failed growth is
// remembered and reported when the node is finished.
class Buffer {
public:
    [[gnu::always_inline]] unsigned char* room(size_t n) {
        if (!bytes_.reserve_more(n)) [[unlikely]]
            return lost();
        return bytes_.data() + bytes_.size();
    }
    [[gnu::always_inline]] void wrote(size_t n) { bytes_.truncate(bytes_.size() + n); }
    [[gnu::always_inline]] void put(const void* p, size_t n) {
        if (unsigned char* to = room(n)) {
            std::memcpy(to, p, n);
            wrote(n);
        }
    }
    [[gnu::always_inline]] void byte(unsigned char b) { put(&b, 1); }
    [[gnu::always_inline]] void u64(uint64_t v) {
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        put(&v, 8);
    }
    [[gnu::always_inline]] void tagged_u64(unsigned char tag, uint64_t v) {
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        if (unsigned char* to = room(9)) {
            to[0] = tag;
            std::memcpy(to + 1, &v, 8);
            wrote(9);
        }
    }
    [[gnu::always_inline]] void digest(const Digest& d) {
        u64(d.lo);
        u64(d.hi);
    }
    void u64_at(size_t at, uint64_t v) {
        if (!ok_) return;
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        std::memcpy(bytes_.data() + at, &v, 8);
    }
    size_t size() const { return bytes_.size(); }
    bool ok() const { return ok_; }
    /// The digest of the bytes from `base` on, which it then drops.
    Digest take_from(size_t base) {
        Digest d = xxh3(bytes_.data() + base, bytes_.size() - base);
        bytes_.truncate(base);
        return d;
    }

private:
    [[gnu::cold, gnu::noinline]] unsigned char* lost() {
        ok_ = false;
        return nullptr;
    }
    Grow<unsigned char> bytes_;
    bool ok_ = true;
};

// Appends the UTF-8 form of each code point of `text` (a str of any kind): lone
// surrogates as the 3-byte sequences of their code points, as 'surrogatepass' writes them.
void put_utf8(Buffer& out, PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    if (PyUnicode_IS_ASCII(text)) {
        out.u64(static_cast<uint64_t>(n));
        out.put(data, static_cast<size_t>(n));
        return;
    }
    int kind = PyUnicode_KIND(text);
    size_t at = out.size();
    out.u64(0);  // the byte count, written below
    unsigned char* to = out.room(static_cast<size_t>(n) * 4);
    if (!to) return;
    unsigned char* p = to;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xc0 | c >> 6);
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
        } else if (c < 0x10000) {
            *p++ = static_cast<unsigned char>(0xe0 | c >> 12);
            *p++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3f));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
        } else {
            *p++ = static_cast<unsigned char>(0xf0 | c >> 18);
            *p++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3f));
            *p++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3f));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
        }
    }
    auto written = static_cast<size_t>(p - to);
    out.wrote(written);
    out.u64_at(at, written);
}

// An int beyond 64 bits: its shortest two's-complement form. False when memory runs out.
[[gnu::cold, gnu::noinline]] bool put_wide_int(Buffer& out, PyObject* x) {
    constexpr int kFlags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
    // An upper bound, possibly a byte more than the value needs: trimmed below.
    Py_ssize_t bytes = PyLong_AsNativeBytes(x, nullptr, 0, kFlags);
    if (bytes < 0) {  // cannot fail for an exact int; leave nothing pending all the same
        PyErr_Clear();
        return false;
    }
    auto n = static_cast<size_t>(bytes);
    size_t at = out.size();
    out.byte(kWideInt);
    out.u64(0);  // the byte count, written below
    unsigned char* to = out.room(n);
    if (!to) return false;
    PyLong_AsNativeBytes(x, to, bytes, kFlags);
    // A top byte that only repeats the sign of the byte below adds nothing.
    while (n > 9 && to[n - 1] == ((to[n - 2] & 0x80) ? 0xff : 0x00)) --n;
    out.wrote(n);
    out.u64_at(at + 1, n);
    return true;
}

// The identity of a class in a record: XXH3-128 of the UTF-8 of its __module__ and then
// of its __qualname__, each after its u64 byte count, both as the type itself keeps them
// (a metaclass's properties are not asked). Runs no Python code. `qualname` receives the
// __qualname__ read.
Result<Digest> class_identity(PyTypeObject* type, Ref& qualname) {
    Ref module = Ref::adopt(PyType_GetModuleName(type));
    if (!module) return fail(take_pending());
    qualname = Ref::adopt(PyType_GetQualName(type));
    if (!qualname) return fail(take_pending());
    if (!PyUnicode_Check(module.get()) || !PyUnicode_Check(qualname.get()))
        return fail(raise(PyExc_TypeError,
                          "a class's __module__ and __qualname__ must be str to be digested"));
    Buffer bytes;
    put_utf8(bytes, module.get());
    put_utf8(bytes, qualname.get());
    if (!bytes.ok()) return fail(no_memory());
    return bytes.take_from(0);
}

// Whether the identity kept on `info` still names its class: the record is current (so
// __module__ is unchanged) and, for a heap type, __qualname__ is the one it was made from.
[[gnu::always_inline]] inline bool identity_current(PyTypeObject* type, const TypeInfo& info) {
    if (info.class_id_version == 0 || info.class_id_version != type->tp_version_tag)
        return false;
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return true;
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname == info.class_id_qualname;
}

// The scheme of subtree_digest: each node's record is written into one shared buffer above
// its unfinished ancestors' records and hashed away when it is finished.
class DigestScheme {
public:
    using Value = Digest;
    struct Acc {
        size_t base = 0;      // where the node's record begins in the buffer
        size_t count_at = 0;  // where the count of the list being read goes
    };

    [[gnu::always_inline]] bool open_known(PyTypeObject* type, const TypeInfo& info, Acc& a) {
        if (!identity_current(type, info)) [[unlikely]]
            return false;
        a.base = out_.size();
        out_.digest({info.class_id[0], info.class_id[1]});
        return true;
    }

    Status open_any(PyTypeObject* type, const TypeInfo& info, Acc& a) {
        if (open_known(type, info, a)) return {};
        unsigned int version = type->tp_version_tag;
        Ref qualname;
        auto id = class_identity(type, qualname);
        if (!id) return fail(std::move(id.error()));
        // Kept when the record is current; one read without a tag is made again each time.
        if (version != 0 && version == info.version && version == type->tp_version_tag) {
            PyObject* old = info.class_id_qualname;
            info.class_id_qualname = PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)
                                         ? qualname.release()
                                         : nullptr;
            info.class_id[0] = id->lo;
            info.class_id[1] = id->hi;
            info.class_id_version = version;
            if (old) release_cached(old);
        }
        a.base = out_.size();
        out_.digest(*id);
        return {};
    }

    [[gnu::always_inline]] void field(Acc&, size_t i) {
        auto v = static_cast<uint32_t>(i);
        if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
        out_.put(&v, 4);
    }
    [[gnu::always_inline]] void list_begin(Acc& a, Py_ssize_t) {
        a.count_at = out_.size() + 1;
        out_.tagged_u64(kList, 0);  // the count, written when the list is done
    }
    [[gnu::always_inline]] void list_end(Acc& a, size_t count) {
        out_.u64_at(a.count_at, count);
    }
    [[gnu::always_inline]] void child(Acc&, const Digest& d, bool) {
        out_.byte(kNode);
        out_.digest(d);
    }

    [[gnu::always_inline]] Leaf leaf(Acc&, PyObject* x, bool) {
        if (x == Py_None) {
            out_.byte(kNone);
            return Leaf::plain;
        }
        PyTypeObject* type = Py_TYPE(x);
        if (type == &PyUnicode_Type) {
            out_.byte(kStr);
            put_utf8(out_, x);
        } else if (type == &PyLong_Type) {
            auto* v = reinterpret_cast<PyLongObject*>(x);
            int64_t value;
            if (PyUnstable_Long_IsCompact(v)) [[likely]] {
                value = static_cast<int64_t>(PyUnstable_Long_CompactValue(v));
            } else if (PyLong_AsNativeBytes(x, &value, sizeof value,
                                            Py_ASNATIVEBYTES_NATIVE_ENDIAN) >
                       static_cast<Py_ssize_t>(sizeof value)) {
                return put_wide_int(out_, x) ? Leaf::plain : Leaf::failed;
            }
            out_.tagged_u64(kInt, static_cast<uint64_t>(value));
        } else if (type == &PyFloat_Type) {
            double d = PyFloat_AS_DOUBLE(x);
            out_.tagged_u64(kFloat, d != d ? kCanonicalNan : std::bit_cast<uint64_t>(d));
        } else if (type == &PyBool_Type) {
            out_.byte(x == Py_True ? kTrue : kFalse);
        } else if (type == &PyBytes_Type) {
            out_.byte(kBytes);
            out_.u64(static_cast<uint64_t>(PyBytes_GET_SIZE(x)));
            out_.put(PyBytes_AS_STRING(x), static_cast<size_t>(PyBytes_GET_SIZE(x)));
        } else if (x == Py_Ellipsis) {
            out_.byte(kEllipsis);
        } else {
            return Leaf::other;
        }
        return Leaf::plain;
    }

    // Any other leaf: its class identity and its repr, as ast.dump prints it. `x` is kept
    // alive by the caller while its repr runs.
    Status repr_leaf(Acc&, PyObject* x, bool) {
        Ref qualname;
        auto id = class_identity(Py_TYPE(x), qualname);
        if (!id) return fail(std::move(id.error()));
        Ref text = Ref::adopt(PyObject_Repr(x));
        if (!text) return fail(take_pending());
        out_.byte(kRepr);
        out_.digest(*id);
        put_utf8(out_, text.get());
        return {};
    }

    [[gnu::always_inline]] bool finish(const Acc& a, Digest& out) {
        if (!out_.ok()) [[unlikely]]
            return false;
        out = out_.take_from(a.base);
        return true;
    }

private:
    Buffer out_;
};

Result<Ref> unsigned_int(const Digest& d) {
    unsigned char bytes[16];
    uint64_t lo = d.lo, hi = d.hi;
    if constexpr (std::endian::native == std::endian::big) {
        lo = std::byteswap(lo);
        hi = std::byteswap(hi);
    }
    std::memcpy(bytes, &lo, 8);
    std::memcpy(bytes + 8, &hi, 8);
    PyObject* value = PyLong_FromUnsignedNativeBytes(
        bytes, sizeof bytes, Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (!value) return fail(null_object(SPRIG_HERE));
    return Ref::adopt(value);
}

}  // namespace

Result<Ref> subtree_digests(PyObject* node) {
    return engine::all_values<DigestScheme>(node, unsigned_int);
}

Result<Ref> subtree_digest(PyObject* node) {
    return engine::one_value<DigestScheme>(node, unsigned_int);
}

}  // namespace sprig
