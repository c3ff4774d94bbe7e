# Debian's cross compiler for 64-bit Arm Linux (package g++-aarch64-linux-gnu),
# with its own C library under /usr/aarch64-linux-gnu. The target's Python and
# NumPy headers come from elsewhere (an arm64 root): see the cross-compiling
# branch of CMakeLists.txt and scripts/aarch64/cross-build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs are the host's; libraries, headers and packages the target's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
