"""Wrong uses of sprig: mypy --strict must flag exactly the lines marked with their code."""

import ast

import sprig

tree = ast.parse("x = 1")

sprig.walk(tree)  # E: deprecated
sprig.walk_frontier(tree, ast.Name)  # E: call-overload
sprig.walk_frontier(tree, [ast.Name])  # E: call-overload
sprig.walk_of_types(tree, (ast.Name,), prune=ast.Lambda)  # E: call-overload
sprig.walk_frontier_events(tree, (ast.Name,))  # E: call-overload
count: str = sprig._walk_count(tree)  # E: assignment
hashes: dict[str, int] = sprig.subtree_hashes(tree)  # E: assignment
done: ast.Module = sprig.set_parents(tree)  # E: func-returns-value
sprig.walk_dfs()  # E: call-arg
sprig.walk_depth_first(tree)  # E: attr-defined
version: int = sprig.__version__  # E: assignment
fixed: ast.Expression = sprig.fix_missing_locations(tree)  # E: assignment
calls: list[ast.Name] = sprig.walk_of_types(tree, (ast.Call,))  # E: arg-type
sprig.walk_frontier(tree, (ast.Call,))[0].name  # E: attr-defined
sprig.MATCH = 3  # E: misc
