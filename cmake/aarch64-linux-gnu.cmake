# Cross build for the device's architecture (AArch64) with clang, as the
# device's platform builds, targeting aarch64-linux-gnu, with Debian's cross
# binutils (binutils-aarch64-linux-gnu) and Debian's arm64 multiarch libraries
# (libstdc++-12-dev:arm64, libprotobuf-dev:arm64, libgtest-dev:arm64,
# libgmock-dev:arm64, android-libbase-dev:arm64); tools/cross_aarch64 installs
# them and uses this file:
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Test binaries run under qemu-user (qemu-aarch64 BINARY, no -L): the binary's
# interpreter /lib/ld-linux-aarch64.so.1 and its libraries in
# /lib/aarch64-linux-gnu come from the arm64 multiarch libc6.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# Multiarch has no separate sysroot: the arm64 libraries are in
# /usr/lib/aarch64-linux-gnu (found through the library architecture; clang
# takes libstdc++ and libgcc from /usr/lib/gcc/aarch64-linux-gnu/12), the arm64
# headers in /usr/include/aarch64-linux-gnu and the shared ones in /usr/include
# (both on clang's search path for the target). The host's x86_64 directories
# are never searched, programs are the host's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# protoc is the host's (protobuf-compiler, amd64); the runtime it generates
# code for is the arm64 one, of the same version.
set(Protobuf_PROTOC_EXECUTABLE /usr/bin/protoc CACHE FILEPATH "protoc of the build host")
set(Protobuf_INCLUDE_DIR /usr/include CACHE PATH "protobuf headers (architecture independent)")
set(Protobuf_LIBRARY /usr/lib/aarch64-linux-gnu/libprotobuf.so CACHE FILEPATH "arm64 protobuf")
set(Protobuf_LITE_LIBRARY /usr/lib/aarch64-linux-gnu/libprotobuf-lite.so CACHE FILEPATH "arm64 protobuf-lite")
set(GTest_DIR /usr/lib/aarch64-linux-gnu/cmake/GTest CACHE PATH "arm64 GoogleTest")
