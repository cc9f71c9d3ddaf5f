"""The ast module's helpers under sprig's names, and patch_ast/restore_ast.

ast_walk, ast_iter_child_nodes, ast_iter_fields, ast_copy_location and ast_increment_lineno
run the running interpreter's own code for them, so every read, write and error is the
standard library's. ast_fix_missing_locations makes the standard function's reads and writes
in the same order on an explicit stack, so that deep trees do not exhaust the recursion
limit. patch_ast installs them, and the visitor classes, into the ast module."""

import ast
import threading
import types

_STANDARD = {name: getattr(ast, name) for name in (
    "walk", "iter_child_nodes", "iter_fields", "copy_location", "increment_lineno",
    "fix_missing_locations", "NodeVisitor", "NodeTransformer")}


def _same_code(name: str, doc: str) -> types.FunctionType:
    """The standard function `name` as a function of its own called ast_<name>. It keeps
    the ast module's globals, so it finds the helpers it calls where the standard one does."""
    standard = _STANDARD[name]
    made = types.FunctionType(standard.__code__, standard.__globals__, "ast_" + name,
                              standard.__defaults__, standard.__closure__)
    made.__kwdefaults__ = standard.__kwdefaults__
    made.__qualname__ = "ast_" + name
    made.__module__ = "sprig"
    made.__doc__ = doc
    return made


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


def ast_fix_missing_locations(node):
    """`ast.fix_missing_locations`, call for call, on an explicit stack; returns `node`."""
    # Each level holds the iterator over a node's children and the values they inherit,
    # where the standard function's recursion holds them in its frames.
    levels = []
    lineno, col_offset, end_lineno, end_col_offset = 1, 0, 1, 0
    current = node
    while True:
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
                       (lineno, col_offset, end_lineno, end_col_offset)))
        while levels:
            children, inherited = levels[-1]
            current = next(children, _DONE)
            if current is not _DONE:
                lineno, col_offset, end_lineno, end_col_offset = inherited
                break
            levels.pop()
        else:
            return node


ast_fix_missing_locations.__module__ = "sprig"

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
