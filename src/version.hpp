// The release version: the one place it is written. pyproject.toml reads it from here for
// the package metadata, and module exec exposes it as sprig.__version__.
#pragma once

#define SPRIG_VERSION "0.1.0"
