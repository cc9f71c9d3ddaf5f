# Every target runs under tools/pyroot, which supplies CPython 3.13, 3.14 and 3.15 with their
# debug builds (the host's, or a private Debian testing root that it creates on first use).
# PY=3.13 (or 3.14, 3.15) limits test and bench to one version; ARGS go to pytest.
PYROOT := tools/pyroot
PY ?=

.PHONY: test sanitize bench bench-all build install clean compilers wheels

test:
	tools/check.sh $(if $(PY),--python $(PY)) $(ARGS)

sanitize:
	$(PYROOT) tools/sanitize.sh

bench:
	$(PYROOT) tools/bench.sh $(if $(PY),--python $(PY))

bench-all:
	$(PYROOT) tools/bench.sh --all

build:
	$(PYROOT) --root $$(tools/roots $(or $(PY),3.14)) tools/build.sh release $(or $(PY),3.14)

# Installs for your own Python (the one that runs as $(PYTHON), e.g. an activated virtual
# environment), not into the provisioned root. PIP_FLAGS=--no-build-isolation for offline use.
PYTHON ?= python3
install:
	$(PYTHON) -m pip install $(PIP_FLAGS) .

clean:
	rm -rf build

# Every supported compiler (g++ 12, 14, 16; clang 14, 19): a build without warnings and a
# quick slice of the suite on each.
compilers:
	tools/compilers.sh

# The sdist and a manylinux wheel for each supported CPython, into dist/.
wheels:
	tools/wheels.sh
