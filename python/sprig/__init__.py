"""The face of sprig: the native module where it loads, else the pure-Python one beside it.

Both offer the same names with the same results. SPRIG_NO_EXTENSIONS=1 (any non-empty value
but "0") forces the pure one; IMPLEMENTATION says which one is in use ("native" or "pure").
"""

import os as _os


def _choose():
    if _os.environ.get("SPRIG_NO_EXTENSIONS", "") not in ("", "0"):
        from . import _pure
        return _pure, "pure"
    try:
        from . import _native
    except ImportError:
        # No wheel for this platform or interpreter (PyPy, a free-threaded build, an sdist
        # installed without a compiler): the pure implementation serves.
        from . import _pure
        return _pure, "pure"
    return _native, "native"


_impl, IMPLEMENTATION = _choose()
globals().update({name: value for name, value in vars(_impl).items()
                  if not name.startswith("__")})
__all__ = list(_impl.__all__)
__doc__ = _impl.__doc__
# A dunder, which the copy above leaves out with the module's own.
if hasattr(_impl, "__version__"):
    __version__ = _impl.__version__
del _choose, _impl, _os
