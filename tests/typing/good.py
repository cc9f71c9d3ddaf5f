"""Every function of sprig used as the stubs intend: mypy --strict must accept all of it."""

import ast
from typing import Literal, assert_type

import sprig
from sprig import *  # noqa: F403 - the names come from the stubs' __all__

tree: ast.Module = ast.parse("def f(x):\n    return g(x) + 1\n")
scopes = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

nodes = walk_dfs(tree)  # noqa: F405
assert_type(nodes, list[ast.Module | ast.AST])
assert_type(sprig.walk_unordered(tree), list[ast.Module | ast.AST])
count: int = sprig._walk_count(tree)

defs: list[ast.AST] = sprig.walk_frontier(tree, scopes)
for found, parent, field, index in sprig.walk_frontier_edges(tree, (ast.Name,)):
    assert_type(found, ast.AST)
    assert_type(parent, ast.Module | ast.AST)
    assert_type(field, str)
    assert_type(index, int)

calls = sprig.walk_of_types(tree, (ast.Call, ast.Name))
names = sprig.walk_of_types(tree, (ast.Name,), prune=(ast.Lambda,))
everything = sprig.walk_of_types(tree, (ast.Name,), None)
for event, node in sprig.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
    kind: Literal[0, 1, 2] = event

sprig.set_parents(tree)
hashes: dict[int, int] = sprig.subtree_hashes(tree)
digest: int = sprig.subtree_hash(tree.body[0])
fixed = sprig.fix_missing_locations(tree)
assert_type(fixed, ast.Module)
version: str = sprig.__version__


class Names(sprig.NodeVisitor):
    def __init__(self) -> None:
        self.seen: list[str] = []

    def visit_Name(self, node: ast.Name) -> None:
        self.seen.append(node.id)
        self.generic_visit(node)


class Renamer(sprig.NodeTransformer):
    def visit_Name(self, node: ast.Name) -> ast.Name:
        node.id += "_"
        return node


visitor: ast.NodeVisitor = Names()
visitor.visit(tree)
renamed = Renamer().visit(tree)
