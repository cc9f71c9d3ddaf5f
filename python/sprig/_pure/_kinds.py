"""Kind sets: the tuples of classes that the typed walks match nodes against, by exact type."""

from ._frame import type_mismatch, with_note


def tuple_argument(value: object, parameter: str) -> tuple:
    """`value` when it is a tuple (a subclass counts), else the TypeError with its note."""
    if isinstance(value, tuple):
        return value
    raise with_note(type_mismatch(value, tuple), parameter)


def kind_set(classes: tuple) -> frozenset:
    """The classes of `classes` as a set matched by exact type. The tuple's own storage is
    read: a subclass's __iter__ or __getitem__ is never called."""
    items = list(tuple.__iter__(classes))
    for item in items:
        if not issubclass(type(item), type):
            raise type_mismatch(item, type)
    return frozenset(items)
