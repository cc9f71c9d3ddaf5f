// The release version. pyproject.toml reads it from here for
// the package metadata, and module exec exposes it as sprig.__version__; the pure
// implementation repeats it, and the suite checks that the two agree.
#pragma once

#define SPRIG_VERSION "0.1.0"
