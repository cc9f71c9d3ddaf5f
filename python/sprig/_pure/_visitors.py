"""NodeVisitor and NodeTransformer: the standard classes with sprig's methods, which dispatch
and descend on an explicit stack."""

import ast

from .._visiting import methods

visit, visitor_generic_visit, transformer_generic_visit = methods()

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
