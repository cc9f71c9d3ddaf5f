"""Shared fixtures: the standard-library corpus and the hypothesis settings for the suite.

A test that takes `stdlib_tree` runs once per corpus module. The tree is parsed once per test
module and shared by every test there that uses it (pytest groups those tests together), so
only one corpus tree is alive at a time. A test that edits the tree must edit its own copy:
`oracles.parse_stdlib(path)` parses a fresh one.
"""

import pytest
from hypothesis import HealthCheck, settings

from oracles import CORPUS_IDS, CORPUS_PATHS, DEBUG, parse_stdlib

settings.register_profile(
    "sprig",
    database=None,  # nothing written into the checkout
    deadline=None,  # the debug interpreter is slow and uneven
    max_examples=40 if DEBUG else 200,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("sprig")


def pytest_generate_tests(metafunc):
    if "stdlib_tree" in metafunc.fixturenames:
        metafunc.parametrize(
            "stdlib_tree", CORPUS_PATHS, ids=CORPUS_IDS, indirect=True, scope="module"
        )


@pytest.fixture(scope="module")
def stdlib_tree(request):
    tree = parse_stdlib(request.param)
    if tree is None:
        pytest.skip("this interpreter cannot parse the module")
    return tree
