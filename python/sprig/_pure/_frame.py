"""What every exported function shares: argument binding with the native module's messages,
the type-mismatch errors with their argument notes, the cycle error and the internal-failure
exception."""

import inspect
from typing import Any, Callable

CYCLE_MESSAGE = "the tree contains a cycle: a node is its own descendant"
CHANGED_MESSAGE = "the tree changed while it was being hashed"


class InternalFailure(BaseException):
    """Raised when sprig itself fails internally. Like SystemExit it derives from
    BaseException, so that it typically propagates all the way up and ends the program."""


InternalFailure.__module__ = "sprig"


def cycle_error() -> ValueError:
    return ValueError(CYCLE_MESSAGE)


def type_name(value: object) -> str:
    try:
        return type(value).__qualname__
    except Exception:
        return "<failed to extract type name>"


def type_mismatch(value: object, target: type) -> TypeError:
    if value is None:
        return TypeError(f"'None' is not an instance of '{target.__qualname__}'")
    return TypeError(f"'{type_name(value)}' object is not an instance of '{target.__qualname__}'")


def with_note(error: BaseException, parameter: str) -> BaseException:
    try:
        error.add_note(f"while processing '{parameter}'")
    except Exception:
        pass  # a failed note is dropped; the error stands alone
    return error


def _join(names: list[str]) -> str:
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(name: str, params: tuple[str, ...], required: int, args: tuple, kwargs: dict,
         omitted: Any = None) -> list:
    """The slots for `args` and `kwargs`, checked in the native module's order: the positional
    count, then each keyword in call order, then the missing required parameters. An omitted
    optional parameter is `omitted`."""
    count, n = len(params), len(args)
    if n > count:
        verb = "was" if n == 1 else "were"
        takes = f"{count}" if required == count else f"from {required} to {count}"
        noun = "argument" if takes == "1" else "arguments"
        raise TypeError(f"{name}() takes {takes} positional {noun} but {n} {verb} given")
    slots: list[Any] = list(args) + [_UNSET] * (count - n)
    for keyword, value in kwargs.items():
        try:
            i = params.index(keyword)
        except ValueError:
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword}'") from None
        if slots[i] is not _UNSET:
            raise TypeError(f"{name}() got multiple values for argument '{keyword}'")
        slots[i] = value
    missing = [params[i] for i in range(n, required) if slots[i] is _UNSET]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{name}() missing {len(missing)} required positional {word}: "
                        f"{_join(missing)}")
    return [omitted if s is _UNSET else s for s in slots]


_UNSET: Any = object()


def exported(name: str, params: tuple[str, ...], required: int, doc: str,
             public: str | None = None) -> Callable[[Callable], Callable]:
    """Makes `body` (taking the parameters by position) a function that binds its arguments
    as the native module does. `public` is the function's own name where the messages name
    another (the ast helpers are named in them as in the ast module)."""
    count = len(params)

    def wrap(body: Callable) -> Callable:
        if count == 1:
            def entry(*args, **kwargs):
                if kwargs or len(args) != 1:
                    args = bind(name, params, required, args, kwargs)
                return body(*args)
        else:
            def entry(*args, **kwargs):
                if kwargs or len(args) != count:
                    args = bind(name, params, required, args, kwargs)
                return body(*args)
        entry.__name__ = entry.__qualname__ = public or name
        entry.__module__ = "sprig"
        entry.__doc__ = doc
        entry.__self__ = None  # type: ignore[attr-defined]  # as a module function's
        shown = [inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                                   **({} if i < required else {"default": None}))
                 for i, p in enumerate(params)]
        entry.__signature__ = inspect.Signature(shown)  # type: ignore[attr-defined]
        entry.__text_signature__ = str(entry.__signature__)  # type: ignore[attr-defined]
        return entry

    return wrap
