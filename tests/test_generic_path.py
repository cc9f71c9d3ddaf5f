"""The same walks with in-place dictionary reads turned off.

An interpreter whose dictionary layout the import-time check does not recognise reads every
node through the dictionary API. That path must give the same results on every interpreter,
so the differential tests below run here again with it forced.
"""

import pytest

import sprig
from conftest import native_only
from test_edits import test_fix_missing_locations_matches_ast_all  # noqa: F401
from test_hash import test_corpus_entries_and_root, test_generated_trees as test_hash_generated  # noqa: F401
from test_typed import test_corpus as test_typed_corpus  # noqa: F401
from test_walks import (  # noqa: F401
    test_corpus_depth_first,
    test_corpus_unordered_and_count,
    test_fields_found_whatever_the_set_order,
    test_generated_trees,
    test_hand_built,
    test_three_hundred_fields,
)


pytestmark = native_only("no in-place dictionary reads to turn off")


@pytest.fixture(autouse=True)
def generic_path():
    assert sprig._direct_reads() is True, "this interpreter's layout is read in place"
    assert sprig._direct_reads(False) is False
    try:
        yield
    finally:
        assert sprig._direct_reads(True) is True


def test_the_switch_is_in_effect():
    assert sprig._direct_reads() is False
