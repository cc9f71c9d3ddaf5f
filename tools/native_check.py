"""Checks, in the environment that a wheel was installed into, that the wheel's native modules
are built for this interpreter and this machine and load from that environment, and that
sprig runs on its native implementation:  python native_check.py WHEEL

The module names come from the wheel itself, so the check holds whether the native module is
sprig itself or one inside the sprig package."""

import importlib
import importlib.machinery
import platform
import sys
import zipfile
from pathlib import Path

# e_machine of the ELF header, by what platform.machine() says.
ELF_MACHINES = {"x86_64": 62, "aarch64": 183}

wheel = sys.argv[1]
own_suffix = importlib.machinery.EXTENSION_SUFFIXES[0]  # e.g. .cpython-314-aarch64-linux-gnu.so
members = zipfile.ZipFile(wheel).namelist()
native = [m for m in members if m.endswith(".so") and ".data/" not in m]
assert native, f"{wheel} holds no native module"
for member in native:
    assert member.endswith(own_suffix), f"{member} is not named for this interpreter ({own_suffix})"
    module = importlib.import_module(member.removesuffix(own_suffix).replace("/", "."))
    path = Path(module.__file__ or "")
    assert path.is_relative_to(sys.prefix), f"{module.__name__} loaded from {path}"
    machine = int.from_bytes(path.read_bytes()[18:20], "little")
    assert machine == ELF_MACHINES[platform.machine()], f"{path}: ELF machine {machine}"
    print(f"{module.__name__} loads from the environment, built for {platform.machine()}")

import sprig  # noqa: E402

# The package says which implementation it chose; a bare module is the native one itself.
chosen = getattr(sprig, "IMPLEMENTATION", None)
if chosen is None:
    assert (sprig.__file__ or "").endswith(own_suffix), sprig.__file__
else:
    assert chosen == "native", f"sprig runs on its {chosen} implementation"
