# Every target runs under tools/py314, which supplies CPython 3.14 (the host's, or a
# private Debian testing root that it creates on first use).
PY314 := tools/py314

.PHONY: test bench build install clean

test:
	$(PY314) tools/check.sh

bench:
	$(PY314) tools/bench.sh

build:
	$(PY314) tools/build.sh release

install:
	$(PY314) python3.14 -m pip install --no-build-isolation --break-system-packages .

clean:
	rm -rf build
