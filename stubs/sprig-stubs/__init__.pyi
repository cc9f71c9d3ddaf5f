import ast
from typing import Literal
from warnings import deprecated

__all__ = [
    "walk",
    "walk_dfs",
    "walk_unordered",
    "walk_frontier",
    "walk_frontier_edges",
    "walk_of_types",
    "fix_missing_locations",
    "subtree_hashes",
    "subtree_hash",
    "set_parents",
    "walk_frontier_events",
    "_walk_count",
]

__version__: str

# The root is listed whatever its type; everything below it is an ast node.
@deprecated("use walk_dfs, or walk_unordered when the order does not matter")
def walk[N](node: N) -> list[N | ast.AST]: ...
def walk_dfs[N](node: N) -> list[N | ast.AST]: ...
def walk_unordered[N](node: N) -> list[N | ast.AST]: ...
def _walk_count(node: object) -> int: ...
def walk_frontier(node: object, kinds: tuple[type, ...]) -> list[ast.AST]: ...
def walk_frontier_edges[N](
    node: N, kinds: tuple[type, ...]
) -> list[tuple[ast.AST, N | ast.AST, str, int]]: ...
def walk_of_types[N](
    node: N, kinds: tuple[type, ...], prune: tuple[type, ...] | None = None
) -> list[N | ast.AST]: ...
def walk_frontier_events[N](
    node: N, kinds: tuple[type, ...], bracket: tuple[type, ...]
) -> list[tuple[Literal[0, 1, 2], N | ast.AST]]: ...
def set_parents(node: object) -> None: ...
def subtree_hashes(node: object) -> dict[int, int]: ...
def subtree_hash(node: object) -> int: ...
def fix_missing_locations[N](node: N) -> N: ...
