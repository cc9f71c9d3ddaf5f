// The per-thread memory of built kind sets, so that a call naming many classes does not
// sort them again each time it is made with the same tuple. Holds no references at all.
#pragma once
#include "kinds/kinds.hpp"

namespace sprig {

struct KindEntry;

/// The kind set of one argument for the length of one call: the thread's remembered set,
/// kept from eviction until the call ends, or one built for this call alone.
class CallKindSet {
public:
    CallKindSet() = default;
    CallKindSet(const CallKindSet&) = delete;
    CallKindSet& operator=(const CallKindSet&) = delete;
    ~CallKindSet();

    const KindSet& get() const { return *set_; }

private:
    friend Status find_kind_set(PyObject* tuple, CallKindSet& out);
    KindSet own_;
    const KindSet* set_ = &own_;
    KindEntry* entry_ = nullptr;  // the remembered entry in use, or null
};

/// Fills the empty `out` with the kind set of `tuple`, which tuple_argument accepted: the
/// one remembered for this tuple while it holds the very classes it was built from, else one
/// built now (and remembered, when the tuple names more classes than a set holds inline).
/// An item that is not a class is the TypeError of build_kind_set.
Status find_kind_set(PyObject* tuple, CallKindSet& out);

}  // namespace sprig
