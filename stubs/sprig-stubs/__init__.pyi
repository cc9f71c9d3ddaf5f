import ast
from collections.abc import Iterator
from typing import Any, Final, Literal, overload

from typing_extensions import TypeVar, deprecated

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
    "subtree_digests",
    "subtree_digest",
    "NodeVisitor",
    "NodeTransformer",
    "ast_walk",
    "ast_iter_child_nodes",
    "ast_iter_fields",
    "ast_copy_location",
    "ast_increment_lineno",
    "ast_fix_missing_locations",
    "patch_ast",
    "restore_ast",
    "MATCH",
    "ENTER",
    "EXIT",
]

__version__: str
# Which implementation `import sprig` took: the native module, or the pure-Python one.
IMPLEMENTATION: Literal["native", "pure"]

# The event codes of walk_frontier_events; its events are these plain ints.
MATCH: Final = 0
ENTER: Final = 1
EXIT: Final = 2

_N = TypeVar("_N")
_NodeT = TypeVar("_NodeT", bound=ast.AST)
# The classes named in `kinds` and `bracket`. Matching is by exact type, so every node that
# a typed walk returns is an instance of one of them: a tuple of up to four kinds (three
# brackets) gives their union, a longer one what the checker infers for all its elements,
# and a tuple whose classes no checker can tell (`tuple[type, ...]`) ast.AST, the default.
_A = TypeVar("_A", bound=ast.AST, default=ast.AST)
_B = TypeVar("_B", bound=ast.AST, default=ast.AST)
_C = TypeVar("_C", bound=ast.AST, default=ast.AST)
_D = TypeVar("_D", bound=ast.AST, default=ast.AST)
_W = TypeVar("_W", bound=ast.AST, default=ast.AST)
_X = TypeVar("_X", bound=ast.AST, default=ast.AST)
_Y = TypeVar("_Y", bound=ast.AST, default=ast.AST)

# The root is listed whatever its type; everything below it is an ast node.
@deprecated("use walk_dfs, or walk_unordered when the order does not matter")
def walk(node: _N) -> list[_N | ast.AST]: ...
def walk_dfs(node: _N) -> list[_N | ast.AST]: ...
def walk_unordered(node: _N) -> list[_N | ast.AST]: ...
def _walk_count(node: object) -> int: ...
@overload
def walk_frontier(node: object, kinds: tuple[type[_A]]) -> list[_A]: ...
@overload
def walk_frontier(node: object, kinds: tuple[type[_A], type[_B]]) -> list[_A | _B]: ...
@overload
def walk_frontier(
    node: object, kinds: tuple[type[_A], type[_B], type[_C]]
) -> list[_A | _B | _C]: ...
@overload
def walk_frontier(
    node: object, kinds: tuple[type[_A], type[_B], type[_C], type[_D]]
) -> list[_A | _B | _C | _D]: ...
@overload
def walk_frontier(node: object, kinds: tuple[type[_A], ...]) -> list[_A]: ...
@overload
def walk_frontier(node: object, kinds: tuple[type, ...]) -> list[ast.AST]: ...

@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type[_A]]
) -> list[tuple[_A, _N | ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type[_A], type[_B]]
) -> list[tuple[_A | _B, _N | ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type[_A], type[_B], type[_C]]
) -> list[tuple[_A | _B | _C, _N | ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type[_A], type[_B], type[_C], type[_D]]
) -> list[tuple[_A | _B | _C | _D, _N | ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type[_A], ...]
) -> list[tuple[_A, _N | ast.AST, str, int]]: ...
@overload
def walk_frontier_edges(
    node: _N, kinds: tuple[type, ...]
) -> list[tuple[ast.AST, _N | ast.AST, str, int]]: ...

@overload
def walk_of_types(
    node: object, kinds: tuple[type[_A]], prune: tuple[type, ...] | None = None
) -> list[_A]: ...
@overload
def walk_of_types(
    node: object, kinds: tuple[type[_A], type[_B]], prune: tuple[type, ...] | None = None
) -> list[_A | _B]: ...
@overload
def walk_of_types(
    node: object,
    kinds: tuple[type[_A], type[_B], type[_C]],
    prune: tuple[type, ...] | None = None,
) -> list[_A | _B | _C]: ...
@overload
def walk_of_types(
    node: object,
    kinds: tuple[type[_A], type[_B], type[_C], type[_D]],
    prune: tuple[type, ...] | None = None,
) -> list[_A | _B | _C | _D]: ...
@overload
def walk_of_types(
    node: object, kinds: tuple[type[_A], ...], prune: tuple[type, ...] | None = None
) -> list[_A]: ...
@overload
def walk_of_types(
    node: _N, kinds: tuple[type, ...], prune: tuple[type, ...] | None = None
) -> list[_N | ast.AST]: ...

@overload
def walk_frontier_events(
    node: object, kinds: tuple[()], bracket: tuple[type[_W]]
) -> list[tuple[Literal[0, 1, 2], _W]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[()], bracket: tuple[type[_W], type[_X]]
) -> list[tuple[Literal[0, 1, 2], _W | _X]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[()], bracket: tuple[type[_W], type[_X], type[_Y]]
) -> list[tuple[Literal[0, 1, 2], _W | _X | _Y]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A]], bracket: tuple[()]
) -> list[tuple[Literal[0, 1, 2], _A]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A]], bracket: tuple[type[_W]]
) -> list[tuple[Literal[0, 1, 2], _A | _W]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A]], bracket: tuple[type[_W], type[_X]]
) -> list[tuple[Literal[0, 1, 2], _A | _W | _X]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A]], bracket: tuple[type[_W], type[_X], type[_Y]]
) -> list[tuple[Literal[0, 1, 2], _A | _W | _X | _Y]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], type[_B]], bracket: tuple[()]
) -> list[tuple[Literal[0, 1, 2], _A | _B]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], type[_B]], bracket: tuple[type[_W]]
) -> list[tuple[Literal[0, 1, 2], _A | _B | _W]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], type[_B]], bracket: tuple[type[_W], type[_X]]
) -> list[tuple[Literal[0, 1, 2], _A | _B | _W | _X]]: ...
@overload
def walk_frontier_events(
    node: object,
    kinds: tuple[type[_A], type[_B]],
    bracket: tuple[type[_W], type[_X], type[_Y]],
) -> list[tuple[Literal[0, 1, 2], _A | _B | _W | _X | _Y]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], type[_B], type[_C]], bracket: tuple[()]
) -> list[tuple[Literal[0, 1, 2], _A | _B | _C]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], type[_B], type[_C]], bracket: tuple[type[_W]]
) -> list[tuple[Literal[0, 1, 2], _A | _B | _C | _W]]: ...
@overload
def walk_frontier_events(
    node: object,
    kinds: tuple[type[_A], type[_B], type[_C]],
    bracket: tuple[type[_W], type[_X]],
) -> list[tuple[Literal[0, 1, 2], _A | _B | _C | _W | _X]]: ...
@overload
def walk_frontier_events(
    node: object,
    kinds: tuple[type[_A], type[_B], type[_C]],
    bracket: tuple[type[_W], type[_X], type[_Y]],
) -> list[tuple[Literal[0, 1, 2], _A | _B | _C | _W | _X | _Y]]: ...
@overload
def walk_frontier_events(
    node: object, kinds: tuple[type[_A], ...], bracket: tuple[type[_W], ...]
) -> list[tuple[Literal[0, 1, 2], _A | _W]]: ...
@overload
def walk_frontier_events(
    node: _N, kinds: tuple[type, ...], bracket: tuple[type, ...]
) -> list[tuple[Literal[0, 1, 2], _N | ast.AST]]: ...

def set_parents(node: object) -> None: ...
def subtree_hashes(node: object) -> dict[int, int]: ...
def subtree_hash(node: object) -> int: ...
def subtree_digests(node: object) -> dict[int, int]: ...
def subtree_digest(node: object) -> int: ...
def fix_missing_locations(node: _N) -> _N: ...

class NodeVisitor(ast.NodeVisitor):
    def visit(self, node: ast.AST) -> Any: ...
    def generic_visit(self, node: ast.AST) -> Any: ...

class NodeTransformer(ast.NodeTransformer):
    def visit(self, node: ast.AST) -> Any: ...
    def generic_visit(self, node: ast.AST) -> ast.AST: ...

# The ast module's helpers, exactly; patch_ast() installs them there under their own names.
def ast_walk(node: ast.AST) -> Iterator[ast.AST]: ...
def ast_iter_child_nodes(node: ast.AST) -> Iterator[ast.AST]: ...
def ast_iter_fields(node: ast.AST) -> Iterator[tuple[str, Any]]: ...
def ast_copy_location(new_node: _NodeT, old_node: ast.AST) -> _NodeT: ...
def ast_increment_lineno(node: _NodeT, n: int = 1) -> _NodeT: ...
def ast_fix_missing_locations(node: _NodeT) -> _NodeT: ...
def patch_ast() -> None: ...
def restore_ast() -> None: ...
