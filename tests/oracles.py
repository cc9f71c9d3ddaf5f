"""Reference behaviour for the tests, written in plain Python on top of the `ast` module.

Nothing here calls sprig. Each oracle states what callers can rely on, in the slowest and
most obvious way; the corpus is every module of the running interpreter's standard library
(its test package left out).
"""

import ast
import textwrap
import subprocess
import gc
import os
import sys
import sysconfig
import time
import warnings
from contextlib import contextmanager
from pathlib import Path

DEBUG = hasattr(sys, "gettotalrefcount")
# A leg that checks a slice of what the whole-suite legs check (tools/check.sh).
SLICE = os.environ.get("SPRIG_SLICE") == "1"

# -- corpus --------------------------------------------------------------------------------

_STDLIB = Path(sysconfig.get_paths()["stdlib"])

# The debug interpreter is several times slower: it checks every fifth module. A slower run
# still (under sanitizers) sets SPRIG_CORPUS_STEP to take every Nth module.
_STEP = int(os.environ.get("SPRIG_CORPUS_STEP") or (5 if DEBUG else 1))
# The library's own modules, without its test package (some systems install that apart or
# not at all, and where it is installed it would triple the corpus) and without the packages
# installed into it (an interpreter built from source keeps pip in its site-packages).
_NOT_THE_LIBRARY = {"test", "site-packages", "dist-packages"}
CORPUS_PATHS = sorted(p for p in _STDLIB.rglob("*.py")
                      if p.relative_to(_STDLIB).parts[0] not in _NOT_THE_LIBRARY)[::_STEP]
CORPUS_IDS = [str(p.relative_to(_STDLIB)) for p in CORPUS_PATHS]


def parse_stdlib(path):
    """A fresh tree of one corpus module, or None when this interpreter cannot parse it."""
    try:
        source = path.read_bytes()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # invalid escapes and the like in old modules
            return ast.parse(source, str(path))
    except (SyntaxError, ValueError, OSError):
        return None


# -- nodes and children --------------------------------------------------------------------


def bare_ast():
    """An instance of ast.AST itself, which no walk counts as a node.

    Made through __new__: from Python 3.15 on, calling the abstract class warns that doing so
    is deprecated, while such objects can still be made and must still be handled.
    """
    return ast.AST.__new__(ast.AST)


def is_node(value):
    """A node is an instance of a proper subclass of ast.AST, however deep."""
    return isinstance(value, ast.AST) and type(value) is not ast.AST


def field_children(node):
    """The children the dictionary-reading walks find below `node`.

    For each name of its class's `_fields`, in order, the value stored under that name in the
    instance dictionary: an exact list gives its node elements in index order, any other value
    itself if it is a node. Attributes outside `_fields` are never children.
    """
    if not is_node(node):
        return []
    fields = getattr(type(node), "_fields", ())
    if not isinstance(fields, (tuple, list)):
        return []
    stored = vars(node)
    children = []
    for name in fields:
        if not isinstance(name, str) or name not in stored:
            continue
        value = stored[name]
        if type(value) is list:
            children.extend(v for v in value if is_node(v))
        elif is_node(value):
            children.append(value)
    return children


def preorder(root, children=field_children):
    """`root`, then each child's whole subtree in child order; a shared node once per path."""
    out = []
    stack = [root]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(children(node)))
    return out


def stdlib_preorder(root):
    """Pre-order by `ast.iter_child_nodes`: the reference for parser-made trees."""
    return preorder(root, lambda n: list(ast.iter_child_nodes(n)))


def ids(nodes):
    return [id(n) for n in nodes]


# -- building large trees ------------------------------------------------------------------


@contextmanager
def gc_paused():
    """No collection while a million nodes are made: it would dominate the build time."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def expression_chain(depth, leaf=None):
    """`depth` nested ast.Expr nodes above `leaf` (a Name by default), built without recursion."""
    node = ast.Name("x", ast.Load()) if leaf is None else leaf
    with gc_paused():
        for _ in range(depth):
            node = ast.Expr(node)
    return node


def run_python(code, *options, timeout=120):
    """Runs `code` in a fresh interpreter like this one; a hang fails after `timeout` s."""
    done = subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stdout


# -- threads -------------------------------------------------------------------------------

# Before 3.13 join() returns once the thread's interpreter state is gone, which is before the
# system thread has run its thread-exit destructors (3.13 joins the system thread): what those
# destructors queue may come later. Where the system lists a process's threads, a thread has
# ended when it is gone from that list.
_TASKS = Path("/proc/self/task")
JOIN_MAY_RETURN_EARLY = sys.version_info < (3, 13)
CAN_SEE_THREADS_END = _TASKS.is_dir()


def join_until_ended(thread, timeout=10):
    """Joins `thread`, then waits until its system thread has ended where that can lag."""
    thread.join()
    if not (JOIN_MAY_RETURN_EARLY and CAN_SEE_THREADS_END):
        return
    task = _TASKS / str(thread.native_id)
    deadline = time.monotonic() + timeout
    while task.exists() and time.monotonic() < deadline:
        time.sleep(0.001)
