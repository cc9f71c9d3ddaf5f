# Cross-compiles for 64-bit Arm Linux on another machine, with Debian's aarch64 g++ 12 and the
# arm64 CPython headers that multiarch installs beside the build machine's own (see the
# testing-arm64 and debian12-arm64 roots of tools/pyroot, and tools/wheels-aarch64.sh).
# g++ 12 because its C++ runtime asks for nothing newer than manylinux_2_28 has; a newer one
# makes the wheel need GLIBCXX_3.4.31 and a far newer system.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++-12)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Programs (cmake's helpers, the build machine's python) run here; headers and libraries are
# the arm64 ones, which Debian keeps under the same / in multiarch directories.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
