"""The methods of sprig's NodeVisitor and NodeTransformer, as Python functions: the standard
classes' dispatch and descent, made on an explicit stack. Handlers are found and called
exactly as the standard classes find and call them, in the same order; a child whose
dispatch ends in the class's own generic_visit is descended into in place rather than by a
nested call, so deep trees need no recursion.

The pure implementation uses them as they are. The native one puts its own body first in
each: that body runs the call in native code, or, when the thread's C stack is nearly used
up, gives back its `deep` marker, and the function goes on in Python. A native body calls
handlers from C, which costs C stack on every level that a handler calls `generic_visit`;
these functions call them as Python calls Python, which costs none. So a visitor goes as deep
as the recursion limit allows, as the standard classes do, however small the thread's stack.

This module is imported by the native module as it starts: it imports nothing heavy."""

import ast
from types import MethodType, SimpleNamespace

AST = ast.AST

# The depth at which a descent first checks its path for a repeated node (a cycle); the
# limit then doubles.
FIRST_DEPTH_LIMIT = 256

# Up to 3.13 the standard visit_Constant warns of a deprecated handler (visit_Num and the
# like) with the place of its caller, the standard visit. Called through that visit, it
# names the same place as under the standard class.
_STANDARD_VISIT = ast.NodeVisitor.visit
_STANDARD_VISIT_CONSTANT = vars(ast.NodeVisitor).get("visit_Constant")


def _call_standard(visitor, node):
    found = SimpleNamespace(generic_visit=visitor)
    setattr(found, "visit_" + node.__class__.__name__, visitor)
    return _STANDARD_VISIT(found, node)


def _child_nodes(node, fields):
    """The standard generic_visit's reads of `node`, lazily: the nodes of its fields. The
    fields are read as ast.iter_fields reads them, each when the one before is done, in one
    generator rather than two: the descent is at its cheapest when a level costs one frame.
    `fields` is `node._fields`, read by the caller."""
    for field in fields:
        try:
            value = getattr(node, field)
        except AttributeError:
            continue
        if isinstance(value, list):
            for item in value:
                if isinstance(item, AST):
                    yield item
        elif isinstance(value, AST):
            yield value


def _deeper(path: list, limit: int) -> int:
    """The cycle check each time the depth reaches `limit`, which doubles each time."""
    if len(set(map(id, path))) != len(path):
        from ._pure._frame import cycle_error  # only now: the pure package is large

        raise cycle_error()
    return limit * 2


# What _transform yields once it has written back every child: the level is done.
_DONE = object()


def _transform(node, fields):
    """The standard NodeTransformer.generic_visit of `node`, yielding each child to be
    visited and taking back what its visit returned; yields _DONE at the end (a generator
    that returned would raise StopIteration, which costs more than a level's descent). The
    fields are read as in _child_nodes."""
    for field in fields:
        try:
            old_value = getattr(node, field)
        except AttributeError:
            continue
        if isinstance(old_value, list):
            new_values = []
            for value in old_value:
                if isinstance(value, AST):
                    value = yield value
                    if value is None:
                        continue
                    elif not isinstance(value, AST):
                        new_values.extend(value)
                        continue
                new_values.append(value)
            old_value[:] = new_values
        elif isinstance(old_value, AST):
            new_node = yield old_value
            if new_node is None:
                delattr(node, field)
            else:
                setattr(node, field, new_node)
    yield _DONE


def methods(native=None):
    """`visit`, NodeVisitor's `generic_visit` and NodeTransformer's, named as the classes'
    methods. `native` is None, or the native module's three bodies and its `deep` marker:
    each function then runs its body first and goes on only if the body gives `deep`."""
    native_visit, native_visitor_generic, native_transformer_generic, deep = (
        native or (None, None, None, None))

    def visit(self, node):
        if native_visit is not None:
            result = native_visit(self, node)
            if result is not deep:
                return result
        method = 'visit_' + node.__class__.__name__
        visitor = getattr(self, method, self.generic_visit)
        # In place, not through a helper: a handler that calls visit on each level then
        # costs two frames a level, as under the standard class.
        if (_STANDARD_VISIT_CONSTANT is not None
                and getattr(visitor, "__func__", None) is _STANDARD_VISIT_CONSTANT):
            return _call_standard(visitor, node)
        return visitor(node)

    # The checks below whether `self.visit` or a handler is the class's own function bound
    # to `self` (the call it stands for is then made in place) are written out in the
    # loops: a call to a helper per node costs as much as a level of the standard descent.

    def visitor_generic_visit(self, node):
        if native_visitor_generic is not None:
            result = native_visitor_generic(self, node)
            if result is not deep:
                return result
        levels = [_child_nodes(node, node._fields)]
        path = [node]  # the node of each level: a cycle repeats one
        limit = FIRST_DEPTH_LIMIT
        method_type = MethodType
        while levels:
            for item in levels[-1]:
                visit_ = self.visit
                if (type(visit_) is method_type and visit_.__func__ is visit
                        and visit_.__self__ is self):
                    visitor = getattr(self, 'visit_' + item.__class__.__name__,
                                      self.generic_visit)
                    if (type(visitor) is method_type
                            and visitor.__func__ is visitor_generic_visit
                            and visitor.__self__ is self):
                        # The read its generic_visit would make first, made now: a node
                        # without fields (a context, an operator) needs no level.
                        fields = item._fields
                        if type(fields) is tuple and not fields:
                            continue
                        levels.append(_child_nodes(item, fields))
                        path.append(item)
                        if len(path) >= limit:
                            limit = _deeper(path, limit)
                        break
                    if (_STANDARD_VISIT_CONSTANT is not None
                            and getattr(visitor, "__func__", None) is _STANDARD_VISIT_CONSTANT):
                        _call_standard(visitor, item)
                    else:
                        visitor(item)
                else:
                    visit_(item)
            else:
                levels.pop()
                path.pop()

    def transformer_generic_visit(self, node):
        if native_transformer_generic is not None:
            result = native_transformer_generic(self, node)
            if result is not deep:
                return result
        # Each level's generator, resumed with what the visit of its last child returned;
        # the innermost one's send is also at hand.
        send = _transform(node, node._fields).send
        sends = [send]
        path = [node]
        limit = FIRST_DEPTH_LIMIT
        method_type = MethodType
        result = None
        while True:
            child = send(result)
            if child is _DONE:
                sends.pop()
                result = path.pop()
                if not sends:
                    return result
                send = sends[-1]
                continue
            visit_ = self.visit
            if (type(visit_) is method_type and visit_.__func__ is visit
                    and visit_.__self__ is self):
                visitor = getattr(self, 'visit_' + child.__class__.__name__,
                                  self.generic_visit)
                if (type(visitor) is method_type
                        and visitor.__func__ is transformer_generic_visit
                        and visitor.__self__ is self):
                    fields = child._fields  # as in visitor_generic_visit
                    if type(fields) is tuple and not fields:
                        result = child
                        continue
                    send = _transform(child, fields).send
                    sends.append(send)
                    path.append(child)
                    if len(path) >= limit:
                        limit = _deeper(path, limit)
                    result = None
                    continue
                if (_STANDARD_VISIT_CONSTANT is not None
                        and getattr(visitor, "__func__", None) is _STANDARD_VISIT_CONSTANT):
                    result = _call_standard(visitor, child)
                else:
                    result = visitor(child)
            else:
                result = visit_(child)

    _method(visit, "NodeVisitor", "visit",
            "Visit a node: call `self.visit_<class name>(node)` if the visitor has such an\n"
            "attribute, else `self.generic_visit(node)`, and return what it returns.")
    _method(visitor_generic_visit, "NodeVisitor", "generic_visit",
            "Visit every node in the fields of `node` with `self.visit`.")
    _method(transformer_generic_visit, "NodeTransformer", "generic_visit",
            "Visit every node in the fields of `node` with `self.visit` and put back\n"
            "what it returns: None removes the node, a node replaces it, and in a\n"
            "list any other value is spliced in as an iterable. Returns `node`.")
    return visit, visitor_generic_visit, transformer_generic_visit


def _method(function, owner: str, name: str, doc: str):
    function.__name__ = name
    function.__qualname__ = f"{owner}.{name}"
    function.__module__ = "sprig"
    function.__doc__ = doc
