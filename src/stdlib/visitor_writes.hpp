// The transformer's writes: the result of each child's visit put back where the child was
// read from. Each write may run Python code, and marks the session so.
#pragma once
#include "stdlib/visitor_descent.hpp"

namespace sprig::visiting {

/// Puts `result`, the visit of the child that `pending` says, back into the frame's node:
/// an item kept in (or spliced into) the new list, or the field set or deleted. A null
/// result is the None of a visitor's generic_visit, which a transformer's generic_visit
/// called on a visitor of the other class meets.
[[gnu::noinline]] Status put_back(Session& s, Frame& f, Pending pending, Ref result);

/// Starts the new list of a list field's items (`new_values`).
Status start_new_list(Session& s, Frame& f);
/// Keeps `item`, which is no node, in the new list as it is.
Status keep_item(Session& s, Frame& f, PyObject* item);
/// old_value[:] = new_values, at the end of a list field.
Status replace_list(Session& s, Frame& f);

}  // namespace sprig::visiting
