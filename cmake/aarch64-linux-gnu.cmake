# Cross build for the recorder (aarch64, Debian 12's cross compiler and the
# :arm64 development packages of tools/install-deps-aarch64.sh):
#   tools/install-deps-aarch64.sh build-aarch64
#   tools/binfmt-aarch64.sh add
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DUPDATE_WERROR=ON
#   cmake --build build-aarch64 -j2 && ctest --test-dir build-aarch64 -L unit -j2
# Tests and benchmarks run under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Packages that are not Multi-Arch (ISA-L) are unpacked into BUILD/sysroot.
set(UPDATE_AARCH64_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
    "Unpacked arm64 packages (tools/install-deps-aarch64.sh)")
list(APPEND CMAKE_PREFIX_PATH "${UPDATE_AARCH64_SYSROOT}/usr")
list(APPEND CMAKE_FIND_ROOT_PATH "${UPDATE_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Debian 12 has no aarch64 pkg-config wrapper: point the host's at the arm64 .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(UPDATE_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
# The arm64 loader and libraries live in Debian's multiarch paths; qemu finds
# them there (QEMU_LD_PREFIX is only needed for a sysroot elsewhere).
set(CMAKE_CROSSCOMPILING_EMULATOR "${UPDATE_QEMU_AARCH64}")
