// Dispatch: what `self.visit(node)` does, from the class records' memo when the visitor's
// instance dictionary shadows nothing, else by the standard library's lookups.
#pragma once
#include "stdlib/visitor_state.hpp"

namespace sprig::visiting {

/// What a visit of a node comes to, as found for the visitor and the node's class.
struct Dispatch {
    enum Kind : uint8_t {
        descend,      // our generic_visit, in `mode`: continue on the explicit stack
        call_method,  // target(self, node)
        call,         // target(node)
        by_name,      // the standard library's lookups, made for real
        ast_visit,    // ast.NodeVisitor.visit(self, node), for the deprecated handlers
        constant,     // descend unless node.value needs asking: then as ast_visit
    };
    explicit Dispatch(Kind k, Mode m = Mode::visitor, Ref t = Ref())
        : kind(k), mode(m), target(std::move(t)) {}
    Kind kind;
    Mode mode;   // for descend and constant
    Ref target;  // the callable for call_method (with self) and call
};

// What `self.visit(node)` comes to: a descent on the explicit stack in `mode`, or the
// result of the call that the visit made.
struct Visited {
    bool descend;
    Mode mode;
    Ref result;
    const NodeClass* rec = nullptr;  // the node's current record, when at hand
};

/// self.visit(node). `known` is the node's current record when the caller has it at hand,
/// else null.
Result<Visited> dispatch(Session& s, PyObject* node, const NodeClass* known);

/// Whether `self.visit` is sprig's own, so that generic_visit may dispatch without calling
/// it.
Result<bool> visit_is_ours(Session& s);

}  // namespace sprig::visiting
