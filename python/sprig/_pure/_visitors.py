"""NodeVisitor and NodeTransformer: the standard classes' dispatch and descent, made on an
explicit stack. Handlers are found and called exactly as the standard classes find and call
them, in the same order; a child whose dispatch ends in the class's own generic_visit is
descended into in place rather than by a nested call, so deep trees need no recursion."""

import ast
from types import MethodType

from ._typed import Guard

AST = ast.AST
# Up to 3.13 the standard visit_Constant calls the deprecated per-type handlers (visit_Num
# and so on) with a warning that names its caller's caller: the standard visit. Reached
# through it, the warning names the line it names for the standard classes.
_AST_VISIT = ast.NodeVisitor.visit
_AST_VISIT_CONSTANT = vars(ast.NodeVisitor).get("visit_Constant")


def _constant_handler(self, visitor) -> bool:
    """Whether `visitor` is the standard visit_Constant bound to `self`."""
    return (type(visitor) is MethodType and visitor.__func__ is _AST_VISIT_CONSTANT
            and visitor.__self__ is self)


def visit(self, node):
    method = 'visit_' + node.__class__.__name__
    visitor = getattr(self, method, self.generic_visit)
    if _AST_VISIT_CONSTANT is not None and _constant_handler(self, visitor):
        return _AST_VISIT(self, node)
    return visitor(node)


def _child_nodes(node):
    """The standard generic_visit's reads of `node`, lazily: the nodes of its fields."""
    for field, value in ast.iter_fields(node):
        if isinstance(value, list):
            for item in value:
                if isinstance(item, AST):
                    yield item
        elif isinstance(value, AST):
            yield value


def _inline(self, bound, function) -> bool:
    """Whether `bound` is `function` bound to `self`: the call it stands for is made here."""
    return type(bound) is MethodType and bound.__func__ is function and bound.__self__ is self


def visitor_generic_visit(self, node):
    levels = [_child_nodes(node)]
    path = [node]  # the node of each level: a cycle repeats one
    guard = Guard()
    while levels:
        for item in levels[-1]:
            visit_ = self.visit
            if _inline(self, visit_, visit):
                method = 'visit_' + item.__class__.__name__
                visitor = getattr(self, method, self.generic_visit)
                if _inline(self, visitor, visitor_generic_visit):
                    levels.append(_child_nodes(item))
                    path.append(item)
                    if len(path) >= guard.limit:
                        guard.check(path)
                    break
                if _AST_VISIT_CONSTANT is not None and _constant_handler(self, visitor):
                    _AST_VISIT(self, item)
                else:
                    visitor(item)
            else:
                visit_(item)
        else:
            levels.pop()
            path.pop()


def _transform(node):
    """The standard NodeTransformer.generic_visit of `node`, yielding each child to be
    visited and taking back what its visit returned; returns `node`."""
    for field, old_value in ast.iter_fields(node):
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
    return node


def transformer_generic_visit(self, node):
    levels = [_transform(node)]
    path = [node]
    guard = Guard()
    result = None
    while True:
        try:
            child = levels[-1].send(result)
        except StopIteration as done:
            levels.pop()
            path.pop()
            result = done.value
            if not levels:
                return result
            continue
        visit_ = self.visit
        if _inline(self, visit_, visit):
            method = 'visit_' + child.__class__.__name__
            visitor = getattr(self, method, self.generic_visit)
            if _inline(self, visitor, transformer_generic_visit):
                levels.append(_transform(child))
                path.append(child)
                if len(path) >= guard.limit:
                    guard.check(path)
                result = None
                continue
            if _AST_VISIT_CONSTANT is not None and _constant_handler(self, visitor):
                result = _AST_VISIT(self, child)
            else:
                result = visitor(child)
        else:
            result = visit_(child)


def _method(function, owner: str, name: str, doc: str):
    function.__name__ = name
    function.__qualname__ = f"{owner}.{name}"
    function.__module__ = "sprig"
    function.__doc__ = doc
    return function


_method(visit, "NodeVisitor", "visit",
        "Visit a node: call `self.visit_<class name>(node)` if the visitor has such an\n"
        "attribute, else `self.generic_visit(node)`, and return what it returns.")
_method(visitor_generic_visit, "NodeVisitor", "generic_visit",
        "Visit every node in the fields of `node` with `self.visit`.")
_method(transformer_generic_visit, "NodeTransformer", "generic_visit",
        "Visit every node in the fields of `node` with `self.visit` and put back\n"
        "what it returns: None removes the node, a node replaces it, and in a\n"
        "list any other value is spliced in as an iterable. Returns `node`.")

NodeVisitor = type(ast.NodeVisitor)("NodeVisitor", (ast.NodeVisitor,), {
    "__module__": "sprig",
    "__doc__": (
        "A drop-in replacement for `ast.NodeVisitor`, and a subclass of it.\n"
        "\n"
        "Derive from it instead of `ast.NodeVisitor` and change nothing else: handlers are\n"
        "found and called exactly as the standard library's class finds and calls them, in\n"
        "the same order, with the same results. The descent through nodes without a\n"
        "handler runs on an explicit stack."),
    "visit": visit, "generic_visit": visitor_generic_visit})

NodeTransformer = type(ast.NodeTransformer)("NodeTransformer", (ast.NodeTransformer,), {
    "__module__": "sprig",
    "__doc__": (
        "A drop-in replacement for `ast.NodeTransformer`, and a subclass of it.\n"
        "\n"
        "Derive from it instead of `ast.NodeTransformer` and change nothing else: handlers\n"
        "are called, and their results written back with the same setattr, delattr and\n"
        "slice assignments, exactly as the standard library's class does. The descent\n"
        "runs on an explicit stack."),
    "visit": visit, "generic_visit": transformer_generic_visit})
