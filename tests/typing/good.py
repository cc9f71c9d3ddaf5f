"""Every function of sprig used as the stubs intend: mypy --strict and pyright in strict
mode must accept all of it."""

import ast
from typing import Literal, assert_type

import sprig
from sprig import *  # noqa: F403  # pyright: ignore[reportWildcardImportFromLibrary]

tree: ast.Module = ast.parse("def f(x):\n    return g(x) + 1\n")
scopes = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)

nodes = walk_dfs(tree)  # noqa: F405
assert_type(nodes, list[ast.Module | ast.AST])
assert_type(sprig.walk_unordered(tree), list[ast.Module | ast.AST])
count: int = sprig._walk_count(tree)

assert_type(sprig.walk_frontier(tree, scopes),
            list[ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef])
loops = (ast.For, ast.AsyncFor, ast.While, ast.If, ast.With)  # more classes than overloads
blocks: list[ast.stmt] = sprig.walk_frontier(tree, loops)
assert_type(sprig.walk_frontier(tree, (ast.Call,)), list[ast.Call])
for found, parent, field, index in sprig.walk_frontier_edges(tree, (ast.Name,)):
    assert_type(found, ast.Name)
    assert_type(parent, ast.Module | ast.AST)
    assert_type(field, str)
    assert_type(index, int)


def statements(kinds: tuple[type[ast.stmt], ...], any_node: tuple[type[ast.AST], ...]) -> None:
    assert_type(sprig.walk_of_types(tree, kinds), list[ast.stmt])
    assert_type(sprig.walk_frontier(tree, any_node), list[ast.AST])


calls = sprig.walk_of_types(tree, (ast.Call, ast.Name))
assert_type(calls, list[ast.Call | ast.Name])
names = sprig.walk_of_types(tree, (ast.Name,), prune=(ast.Lambda,))
assert_type(names, list[ast.Name])
everything = sprig.walk_of_types(tree, (ast.Name,), None)
for event, node in sprig.walk_frontier_events(tree, (ast.Name,), (ast.FunctionDef,)):
    kind: Literal[0, 1, 2] = event
    assert_type(node, ast.Name | ast.FunctionDef)
    if event == sprig.ENTER and isinstance(node, ast.FunctionDef):
        name: str = node.name
for _, bracketed in sprig.walk_frontier_events(tree, (), (ast.ClassDef,)):
    assert_type(bracketed, ast.ClassDef)
codes: tuple[Literal[0], Literal[1], Literal[2]] = (MATCH, ENTER, EXIT)  # noqa: F405

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
