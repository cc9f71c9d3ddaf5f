""""""
# The pure-Python implementation of sprig: the native module's names, in the same order,
# with the same results and errors. The package's __init__ chooses between the two.

from ._digest import subtree_digest as _subtree_digest, subtree_digests as _subtree_digests
from ._edits import fix_missing_locations as _fix_missing_locations
from ._edits import set_parents as _set_parents
from ._frame import exported
from ._hashing import subtree_hash as _subtree_hash, subtree_hashes as _subtree_hashes
from ._stdlib import (ast_copy_location, ast_fix_missing_locations, ast_increment_lineno,
                      ast_iter_child_nodes, ast_iter_fields, ast_walk)
from ._stdlib import patch_ast as _patch_ast, restore_ast as _restore_ast
from ._typed import walk_frontier as _walk_frontier
from ._typed import walk_frontier_edges as _walk_frontier_edges
from ._typed import walk_frontier_events as _walk_frontier_events
from ._typed import walk_of_types as _walk_of_types
from ._visitors import NodeTransformer, NodeVisitor
from ._walks import walk_count as _walk_count_body, walk_deprecated as _walk_deprecated
from ._walks import walk_dfs as _walk_dfs, walk_unordered as _walk_unordered

__doc__ = ""
# The release version, as the native module gives it; the suite checks the two agree.
__version__ = "0.1.0"
NODE = ("node",)

walk = exported("walk", NODE, 1, (
    "Deprecated in favour of `walk_dfs`, which returns the same list.\n"
    "\n"
    "Emits a `DeprecationWarning` on the first call in a process, then\n"
    "returns `walk_dfs(node)`."))(_walk_deprecated)

walk_dfs = exported("walk_dfs", NODE, 1, (
    "Walk the AST rooted at `node` in strict depth-first pre-order and\n"
    "return every descendant (including `node` itself) as a list.\n"
    "\n"
    "Children are read from each node's instance dictionary alone: the\n"
    "entries under its class's `_fields`, where an exact list gives its node\n"
    "items. On trees that the parser and the ast classes make, these are the\n"
    "nodes `ast.walk` finds, in depth-first pre-order (`ast.walk` goes\n"
    "breadth-first); a child served by a property or `__getattr__` is not\n"
    "visited. `walk_unordered` returns the same nodes in no promised order,\n"
    "and is no faster on a tree in cache."))(_walk_dfs)

walk_unordered = exported("walk_unordered", NODE, 1, (
    "Walk the AST rooted at `node` and return every descendant (including\n"
    "`node` itself) as a list, in an implementation-defined order.\n"
    "\n"
    "The set of returned nodes is identical to `walk_dfs`'s (read from the\n"
    "instance dictionaries alone, as `walk_dfs` says); only the order differs, and no order is promised: it may\n"
    "change from one version to the next. The walk takes nodes off its stack in\n"
    "batches and prefetches the memory of each batch before reading it.\n"
    "\n"
    "Its speed is no reason to choose it: measured on two machines, it was\n"
    "slower than `walk_dfs` on a tree in cache (by 4% and by 50%), and from\n"
    "as fast to a fifth faster on one out of cache. What it buys is freedom\n"
    "from an order, which a later version may spend on speed."))(_walk_unordered)

walk_frontier = exported("walk_frontier", ("node", "kinds"), 2, (
    "Return the descendants of `node` whose exact type is one of `kinds`, in\n"
    "depth-first pre-order, without descending below any match. `node`\n"
    "itself is never included."))(_walk_frontier)

walk_frontier_edges = exported("walk_frontier_edges", ("node", "kinds"), 2, (
    "Like `walk_frontier`, but each match comes as `(node, parent, field,\n"
    "index)`: the node was read from `parent.<field>` when `index` is `-1`,\n"
    "else from `parent.<field>[index]`."))(_walk_frontier_edges)

walk_of_types = exported("walk_of_types", ("node", "kinds", "prune"), 2, (
    "Return every node under `node` (`node` included) whose exact type is in\n"
    "`kinds`, in depth-first pre-order. Unlike `walk_frontier`, matches are\n"
    "descended into, except a node whose exact type is in `prune`: it is\n"
    "returned if it matches, and its children are skipped. `node` itself is\n"
    "always descended."))(_walk_of_types)

fix_missing_locations = exported("fix_missing_locations", NODE, 1, (
    "`ast.fix_missing_locations`, without recursing per tree level. Returns\n"
    "`node`."))(_fix_missing_locations)

subtree_hashes = exported("subtree_hashes", NODE, 1, (
    "A structural hash per node, keyed by `id(node)`. Two subtrees that would\n"
    "give the same `ast.dump` get the same hash; a leaf value's type is mixed\n"
    "in, so `1`, `1.0` and `True` (equal hashes in Python) stay apart. A leaf\n"
    "that is not a str, bytes, int, bool, None or Ellipsis is hashed by its\n"
    "`repr`, as `ast.dump` prints it: NaNs compare equal there and `-0.0` and\n"
    "`0.0` do not, and a list constant has a repr where it has no hash."))(_subtree_hashes)

subtree_hash = exported("subtree_hash", NODE, 1, (
    "`subtree_hashes(node)[id(node)]`, without building the dict."))(_subtree_hash)

set_parents = exported("set_parents", NODE, 1, (
    "Set `child.parent = parent` for every node under `node`, visiting parents\n"
    "in depth-first pre-order and each parent's children in\n"
    "`ast.iter_child_nodes` order. `node` itself is left alone."))(_set_parents)

walk_frontier_events = exported("walk_frontier_events", ("node", "kinds", "bracket"), 3, (
    "The calls a `NodeVisitor` makes descending from `node`, as a list of\n"
    "`(event, node)` pairs: `(0, n)` for a descendant whose exact type is in\n"
    "`kinds` (dispatched, not descended), and `(1, n)` / `(2, n)` around the\n"
    "descent of a node whose exact type is in `bracket`. `node` itself is\n"
    "always descended, and bracketed if its type is in `bracket`."))(_walk_frontier_events)

_walk_count = exported("_walk_count", NODE, 1, (
    "Benchmarking-only. Traverse the AST and return the node count without\n"
    "materializing a result list. Isolates traversal cost from list-build\n"
    "cost for profiling deltas."))(_walk_count_body)

subtree_digests = exported("subtree_digests", NODE, 1, (
    "A 128-bit structural digest per node, keyed by `id(node)`: a non-negative\n"
    "int that depends only on the tree, the same in every process, under any\n"
    "`PYTHONHASHSEED` and on any machine. Subtrees that would give the same\n"
    "`ast.dump` get the same digest; the tree semantics are those of\n"
    "`subtree_hashes`. The README writes the encoding down."))(_subtree_digests)

subtree_digest = exported("subtree_digest", NODE, 1, (
    "`subtree_digests(node)[id(node)]`, without building the dict."))(_subtree_digest)

patch_ast = exported("patch_ast", (), 0, (
    "Install the `ast_*` helpers, `NodeVisitor` and `NodeTransformer` into the `ast`\n"
    "module under the standard names. Code that looks them up in `ast` afterwards\n"
    "gets sprig's; a class already derived from `ast.NodeVisitor` keeps its base,\n"
    "and a name imported from `ast` before keeps the original. Calling it again\n"
    "changes nothing; safe from any thread."))(_patch_ast)

restore_ast = exported("restore_ast", (), 0, (
    "Put the `ast` module's own objects back where `patch_ast` installed sprig's and\n"
    "nobody has rebound the name since. Calling it again changes nothing."))(_restore_ast)



def _direct_reads_body(enable):
    # Pure Python reads every dictionary through its API: there is no in-place mode to
    # turn on. The truth test still runs, as the native module's does.
    if enable is not None:
        bool(enable)
    return False


_direct_reads = exported("_direct_reads", ("enable",), 0, (
    "For tests and benchmarks. Whether the fast walks read node dictionaries in\n"
    "place on this interpreter. `False` turns that off, so every walk reads\n"
    "through the dictionary API; `True` turns it back on where the check made\n"
    "at import allows it. Returns the mode now in effect."))(_direct_reads_body)

MATCH, ENTER, EXIT = 0, 1, 2

__all__ = [
    "walk", "walk_dfs", "walk_unordered", "walk_frontier", "walk_frontier_edges",
    "walk_of_types", "fix_missing_locations", "subtree_hashes", "subtree_hash",
    "set_parents", "walk_frontier_events", "_walk_count", "subtree_digests", "subtree_digest",
    "NodeVisitor", "NodeTransformer",
    "ast_walk", "ast_iter_child_nodes", "ast_iter_fields", "ast_copy_location",
    "ast_increment_lineno", "ast_fix_missing_locations", "patch_ast", "restore_ast",
    "MATCH", "ENTER", "EXIT",
]
# Only the public names and the private _direct_reads stay, as on the native module: the
# helper modules and the bodies' aliases go (the modules stay importable through sys.modules).
for _name in [n for n in globals()
              if not n.startswith("__") and n not in __all__ and n != "_direct_reads"]:
    del globals()[_name]
del _name
