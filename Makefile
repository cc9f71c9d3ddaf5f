# test, bench and build run under tools/pyroot, which supplies CPython 3.14 (the host's, or a
# private Debian testing root that it creates on first use).
PYROOT := tools/pyroot

.PHONY: test bench build install clean

test:
	$(PYROOT) tools/check.sh

bench:
	$(PYROOT) tools/bench.sh

build:
	$(PYROOT) tools/build.sh release

# Installs for your own Python (the one that runs as $(PYTHON), e.g. an activated virtual
# environment), not into the provisioned root. PIP_FLAGS=--no-build-isolation for offline use.
PYTHON ?= python3
install:
	$(PYTHON) -m pip install $(PIP_FLAGS) .

clean:
	rm -rf build
