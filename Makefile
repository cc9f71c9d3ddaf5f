# Every target runs under tools/pyroot, which supplies CPython 3.14 (the host's, or a
# private Debian testing root that it creates on first use).
PYROOT := tools/pyroot

.PHONY: test sanitize bench build install clean

test:
	$(PYROOT) tools/check.sh

sanitize:
	$(PYROOT) tools/sanitize.sh

bench:
	$(PYROOT) tools/bench.sh

build:
	$(PYROOT) tools/build.sh release

install:
	$(PYROOT) python3.14 -m pip install --no-build-isolation --break-system-packages .

clean:
	rm -rf build
