"""Trees whose nodes run Python code on every attribute write and change the tree meanwhile:
the edits must neither crash nor leak, whatever the code does."""

import ast
import gc
import signal

import pytest

import sprig


def _drop_the_rest(node, module):
    module.body.clear()  # the statements still queued lose every other owner


def _new_dict(node, module):
    object.__setattr__(node, "__dict__", {"id": "fresh"})


def _new_class(node, module):
    node.__class__ = Plain


def _reenter(node, module):
    sprig.set_parents(module)
    sprig.fix_missing_locations(module)


def _graft(node, module):
    module.body.append(ast.Expr(ast.Name("grafted")))


def _del_fields(node, module):
    for statement in module.body:
        vars(statement).pop("value", None)


MUTATIONS = {
    "drop the rest of the tree": _drop_the_rest,
    "replace its own dictionary": _new_dict,
    "change its own class": _new_class,
    "edit the tree again": _reenter,
    "grow the tree": _graft,
    "delete the statements' fields": _del_fields,
}


class Plain(ast.Name):
    pass


class Vandal(ast.Name):
    """Runs `mutation(self, module)` on its first write, then writes as usual."""

    def __setattr__(self, name, value):
        vars(self)["writes"] = vars(self).get("writes", 0) + 1
        if vars(self)["writes"] == 1:
            type(self).mutation(self, type(self).module)
        object.__setattr__(self, name, value)  # works after a change of class too


# One class per mutation, made once rather than per test.
_VANDALS = {m: type("V", (Vandal,), {"mutation": staticmethod(m)}) for m in MUTATIONS.values()}


def hostile_tree(mutation):
    """A module of several statements, one of whose names is a Vandal running `mutation`."""
    vandal_class = _VANDALS[mutation]
    module = ast.parse("a = 1\nb = a + 2\nf(x)\ny = [z for z in w]\n")
    vandal = vandal_class.__new__(vandal_class)  # no write yet: the fields go in directly
    vars(vandal).update(id="v", ctx=ast.Load())
    module.body.insert(1, ast.Expr(ast.BinOp(vandal, ast.Add(), ast.Name("q"))))
    for node in ast.walk(module):
        for name in ("lineno", "col_offset", "end_lineno", "end_col_offset"):
            vars(node).pop(name, None)
    vandal_class.module = module
    return module


class Alarm(Exception):
    pass


def shared_tree(depth=24):
    """An Expression over `depth` BinOps each of whose operands is the next: 2**depth paths,
    each walked on its own, in a few dozen nodes."""
    node = ast.Name("x", ast.Load())
    for _ in range(depth):
        node = ast.BinOp(node, ast.Add(), node)
    return ast.Expression(node)


# Calls that take seconds on shared_tree(): one per loop whose length the input decides.
LONG_CALLS = {
    "walk_dfs": sprig.walk_dfs,
    "walk_unordered": sprig.walk_unordered,
    "_walk_count": sprig._walk_count,
    "walk_frontier": lambda t: sprig.walk_frontier(t, (ast.Name,)),
    "walk_frontier_edges": lambda t: sprig.walk_frontier_edges(t, (ast.Name,)),
    "walk_of_types": lambda t: sprig.walk_of_types(t, (ast.Name,), (ast.Add,)),
    "walk_frontier_events": lambda t: sprig.walk_frontier_events(t, (ast.Name,), (ast.BinOp,)),
    "subtree_hash": sprig.subtree_hash,
    "subtree_hashes": sprig.subtree_hashes,
    "subtree_digest": sprig.subtree_digest,
    "subtree_digests": sprig.subtree_digests,
    "set_parents": sprig.set_parents,
    "fix_missing_locations": sprig.fix_missing_locations,
}


def ringing(call):
    """Runs `call` on a shared_tree() while a timer rings every 50 ms, and returns the tree's
    holder. Handlers that return go unseen unless they run inside the call: the first puts
    another tree in the holder (the call must hold what it still needs of the first), the
    second makes the same call on a small tree (a call within the call), and only the third
    raises Alarm, which must come out of the call. Run after the call instead, the one
    handler (signals arriving meanwhile merge) would raise nothing."""
    holder = shared_tree()
    rings = 0

    def ring(*args):
        nonlocal rings
        rings += 1
        if rings == 1:  # a long tree again: a call that has not read the first still lasts
            holder.body = shared_tree().body
        elif rings == 2:
            call(ast.Expression(ast.BinOp(ast.Name("a", ast.Load()), ast.Add(), ast.Constant(1))))
        elif rings == 3:
            raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    # Handlers run in whatever Python code is running: a collection's callbacks (hypothesis
    # installs one) would take the Alarm in place of the call.
    collecting = gc.isenabled()
    gc.disable()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        with pytest.raises(Alarm):
            call(holder)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if collecting:
            gc.enable()
    return holder
