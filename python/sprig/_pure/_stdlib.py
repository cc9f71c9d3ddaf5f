"""The ast module's helpers under sprig's names, and patch_ast/restore_ast.

ast_walk, ast_iter_child_nodes, ast_iter_fields, ast_copy_location and ast_increment_lineno
run the running interpreter's own code for them, so every read, write and error is the
standard library's. ast_fix_missing_locations makes the standard function's reads and writes
in the same order on an explicit stack, so that deep trees do not exhaust the recursion
limit. patch_ast installs them, and the visitor classes, into the ast module."""

import ast
import inspect
import threading
import types

from ._frame import bind

_STANDARD = {name: getattr(ast, name) for name in (
    "walk", "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations", "NodeVisitor", "NodeTransformer")}


_OMITTED = object()


def _named(body, name: str, doc: str):
    """`body`, a function taking the parameters of the ast module's function `name`, as
    sprig's ast_<name>: the native module's argument binding, whose errors name the ast
    function as the native module's do, and the standard function's defaults for arguments
    left out."""
    shown = inspect.signature(_STANDARD[name])
    params = tuple(shown.parameters)
    count = len(params)
    required = sum(p.default is inspect.Parameter.empty for p in shown.parameters.values())

    standard = _STANDARD[name]

    def entry(*args, **kwargs):
        if kwargs or not required <= len(args) <= count:
            try:
                args = bind(name, params, required, args, kwargs, _OMITTED)
            except TypeError:
                # The standard function, of the same signature, raises its own binding
                # error (whose text differs between versions) before it runs anything.
                standard(*args, **kwargs)
                raise
            while args and args[-1] is _OMITTED:
                args.pop()
        return body(*args)

    entry.__name__ = entry.__qualname__ = "ast_" + name
    entry.__module__ = "sprig"
    entry.__doc__ = doc
    entry.__self__ = None  # type: ignore[attr-defined]  # as a module function's
    entry.__signature__ = shown  # type: ignore[attr-defined]
    entry.__text_signature__ = str(shown)  # type: ignore[attr-defined]
    return entry


def _same_code(name: str, doc: str):
    """The standard function `name` run as sprig's ast_<name>. Its code keeps the ast
    module's globals, so it finds the helpers it calls where the standard one does."""
    standard = _STANDARD[name]
    return _named(standard, name, doc)


ast_walk = _same_code(
    "walk", "`ast.walk`: a lazy iterator over `node` and its descendants, breadth-first.\n"
    "A node's children are read when the node is taken, before it is handed out.")
ast_iter_child_nodes = _same_code(
    "iter_child_nodes",
    "`ast.iter_child_nodes`: a lazy iterator over the nodes in the fields of `node`.")
ast_iter_fields = _same_code(
    "iter_fields", "`ast.iter_fields`: a lazy iterator of `(name, value)` for each field in\n"
    "`node._fields` that is present on `node`.")
ast_copy_location = _same_code(
    "copy_location",
    "`ast.copy_location`: copy the location attributes of `old_node` to `new_node`\n"
    "where both classes name them; returns `new_node`.")
ast_increment_lineno = _same_code(
    "increment_lineno",
    "`ast.increment_lineno`: add `n` to the line numbers of every node that\n"
    "`ast.walk(node)` yields; returns `node`.")

_DONE = object()


def _fix_missing_locations(node):
    # Each level holds the iterator over a node's children and the values they inherit,
    # where the standard function's recursion holds them in its frames.
    levels = []
    # A node that is its own descendant would make the descent endless, where the standard
    # function's recursion ends in RecursionError: each time the depth reaches a limit that
    # doubles, the nodes on the stack are checked for a repeat.
    limit = 1024
    lineno, col_offset, end_lineno, end_col_offset = 1, 0, 1, 0
    current = node
    while True:
        if len(levels) >= limit:
            limit *= 2
            if len({id(level[2]) for level in levels}) < len(levels):
                raise RecursionError("the tree contains a cycle: a node is its own descendant")
        if 'lineno' in current._attributes:
            if not hasattr(current, 'lineno'):
                current.lineno = lineno
            else:
                lineno = current.lineno
        if 'end_lineno' in current._attributes:
            if getattr(current, 'end_lineno', None) is None:
                current.end_lineno = end_lineno
            else:
                end_lineno = current.end_lineno
        if 'col_offset' in current._attributes:
            if not hasattr(current, 'col_offset'):
                current.col_offset = col_offset
            else:
                col_offset = current.col_offset
        if 'end_col_offset' in current._attributes:
            if getattr(current, 'end_col_offset', None) is None:
                current.end_col_offset = end_col_offset
            else:
                end_col_offset = current.end_col_offset
        # The ast module's iter_child_nodes, looked up at each node as the standard
        # function's global lookup does.
        levels.append((ast.iter_child_nodes(current),
                       (lineno, col_offset, end_lineno, end_col_offset), current))
        while levels:
            children, inherited, _ = levels[-1]
            current = next(children, _DONE)
            if current is not _DONE:
                lineno, col_offset, end_lineno, end_col_offset = inherited
                break
            levels.pop()
        else:
            return node


ast_fix_missing_locations = _named(
    _fix_missing_locations, "fix_missing_locations",
    "`ast.fix_missing_locations`, call for call, on an explicit stack; returns `node`.")

_lock = threading.Lock()


def _replacements() -> dict:
    from . import _visitors
    return {"walk": ast_walk, "iter_child_nodes": ast_iter_child_nodes,
            "iter_fields": ast_iter_fields, "copy_location": ast_copy_location,
            "increment_lineno": ast_increment_lineno,
            "fix_missing_locations": ast_fix_missing_locations,
            "NodeVisitor": _visitors.NodeVisitor, "NodeTransformer": _visitors.NodeTransformer}


def patch_ast():
    with _lock:
        for name, ours in _replacements().items():
            setattr(ast, name, ours)


def restore_ast():
    with _lock:
        for name, ours in _replacements().items():
            if getattr(ast, name, None) is ours:  # a name rebound since is left alone
                setattr(ast, name, _STANDARD[name])
