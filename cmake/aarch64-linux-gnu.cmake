# Cross build for the recorder (aarch64).
#
# Debian 12's cross compiler and the :arm64 development packages of
# tools/install-deps-aarch64.sh (the default):
#   tools/install-deps-aarch64.sh build-aarch64
#   tools/binfmt-aarch64.sh add
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DUPDATE_WERROR=ON
#   cmake --build build-aarch64 -j2 && ctest --test-dir build-aarch64 -L unit -j2
#
# Another toolchain and a root file system of its own (an SDK's sysroot):
#   cmake ... -DUPDATE_CROSS_PREFIX=/opt/sdk/bin/aarch64-none-linux-gnu- \
#     -DCMAKE_SYSROOT=/opt/sdk/sysroot
# (or CROSS_COMPILE=... in the environment). Libraries and pkg-config files
# are then looked up in the sysroot only.
#
# Tests and benchmarks run under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR) when
# qemu-aarch64-static is there; configuring and building need no qemu (the
# test lists are then read when ctest runs, and the test
# Emulator.QemuAarch64Present says what is missing).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# The cross prefix: a cache entry, else CROSS_COMPILE, else Debian's.
if(NOT DEFINED UPDATE_CROSS_PREFIX)
  if(DEFINED ENV{CROSS_COMPILE} AND NOT "$ENV{CROSS_COMPILE}" STREQUAL "")
    set(UPDATE_CROSS_PREFIX "$ENV{CROSS_COMPILE}")
  else()
    set(UPDATE_CROSS_PREFIX aarch64-linux-gnu-)
  endif()
endif()
set(UPDATE_CROSS_PREFIX "${UPDATE_CROSS_PREFIX}" CACHE STRING "Cross compiler prefix (e.g. aarch64-linux-gnu-)")
set(CMAKE_C_COMPILER ${UPDATE_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${UPDATE_CROSS_PREFIX}g++)
# try_compile re-reads this file in a project of its own: hand the choices on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATE_CROSS_PREFIX UPDATE_AARCH64_SYSROOT)

# Packages that are not Multi-Arch (ISA-L, busybox) are unpacked into
# BUILD/sysroot by tools/install-deps-aarch64.sh.
set(UPDATE_AARCH64_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
    "Unpacked arm64 packages (tools/install-deps-aarch64.sh)")
list(APPEND CMAKE_PREFIX_PATH "${UPDATE_AARCH64_SYSROOT}/usr")
list(APPEND CMAKE_FIND_ROOT_PATH "${UPDATE_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

if(CMAKE_SYSROOT)
  # A toolchain's own sysroot: search nothing of the host's.
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR}
      "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
  set(UPDATE_QEMU_LD_PREFIX "${CMAKE_SYSROOT}")
else()
  # Debian's multiarch paths: the arm64 packages live beside the host's.
  set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
  # Debian 12 has no aarch64 pkg-config wrapper: point the host's at the arm64 .pc files.
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
  # qemu finds the arm64 loader and libraries in the multiarch paths.
  set(UPDATE_QEMU_LD_PREFIX "")
endif()
set(ENV{PKG_CONFIG_PATH} "")

find_program(UPDATE_QEMU_AARCH64 qemu-aarch64-static)
if(UPDATE_QEMU_AARCH64)
  if(UPDATE_QEMU_LD_PREFIX)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${UPDATE_QEMU_AARCH64};-L;${UPDATE_QEMU_LD_PREFIX}")
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR "${UPDATE_QEMU_AARCH64}")
  endif()
else()
  # No emulator: the unit-test lists are read at test time, not at build time.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
