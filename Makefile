# Every target runs in the project's Debian roots (tools/pyroot), which it creates on first
# use: CPython 3.11 with its debug build on Debian 12; 3.13, 3.14 and 3.15 with theirs, and
# the host's pyenv-built 3.12, on Debian testing; systems without a compiler for the wheels.
# PY=3.11 (to 3.15) limits test, build and bench to one version (PY=pypy: the suite and the
# benchmark on PyPy, which runs the pure implementation); ARGS go to pytest (test) or to
# bench/bench.py (bench, bench-all).
PYROOT := tools/pyroot
PY ?=

.PHONY: test sanitize bench bench-all bench-tools build install clean compilers wheels wheel-test \
	debian-route roots wheels-aarch64 wheel-test-aarch64

test:
	tools/check.sh $(if $(PY),--python $(PY)) $(ARGS)

# Every supported compiler (g++ 12, 14, 16; clang 14, 19, and 19 with libc++): a build
# without warnings and a quick slice of the suite on each.
compilers:
	tools/compilers.sh $(ARGS)

# The sdist, a manylinux wheel for each supported CPython and the pure wheel, into dist/.
wheels:
	tools/wheels.sh

# Each wheel in dist/ installed with pip into a system without a compiler, and tried there;
# on PyPy the pure wheel and the sdist.
wheel-test:
	tools/wheel-test.sh

# The manylinux aarch64 wheels (CPython 3.11, 3.13, 3.14, 3.15), cross-compiled into dist/.
wheels-aarch64:
	tools/wheels-aarch64.sh

# The aarch64 wheels installed with pip and tried under qemu-user emulation (ARGS: the
# versions; 3.11 and 3.14 by default).
wheel-test-aarch64:
	tools/wheel-test-aarch64.sh $(ARGS)

# The README's Debian 12 and Debian 13 routes from the sdist in dist/, word for word.
debian-route:
	tools/debian-route.sh

sanitize:
	$(PYROOT) tools/sanitize.sh

bench:
	tools/bench.sh $(if $(PY),--python $(PY)) $(ARGS)

bench-all:
	tools/bench.sh --all $(ARGS)

# Real ast-based tools (flake8 with plugins, pyupgrade, vulture, radon, bandit), as Debian
# packages them, timed with and without SPRIG_PATCH_AST=1 on CPython 3.14; fails if any
# output differs. Installs the tools into the testing root on first use (about a minute).
# A run (4 rounds) takes about 8 minutes of CPU; it took 14 minutes on 2 cores shared with
# other work. Not part of test or CI. ARGS go to bench/tools.py.
bench-tools:
	tools/bench-tools.sh $(ARGS)

build:
	$(PYROOT) --root $$(tools/roots $(or $(PY),3.14)) tools/build.sh release $(or $(PY),3.14)

# Creates (or updates) every root at once, or those named in ARGS; the other targets create
# the ones they need.
roots:
	tools/roots --provision $(ARGS)

# Installs for your own Python (the one that runs as $(PYTHON), e.g. an activated virtual
# environment), not into the provisioned root. PIP_FLAGS=--no-build-isolation for offline use.
PYTHON ?= python3
install:
	$(PYTHON) -m pip install $(PIP_FLAGS) .

clean:
	rm -rf build dist
