# The self-contained device build: -DUPDATE_STATIC=ON links `update` into one
# static-pie executable with no shared library (x86_64 and aarch64). Included
# before the rooms; update_static_finish() after them.
#
# Between the two, libraries are looked up as static archives only (Debian's
# .a files: libcrypto/libssl or libmbed*, Mini-XML, c-ares), so that the rooms'
# own find_library and pkg-config look-ups resolve to them; the tools, tests
# and the simulated recorder's helpers after them keep the shared ones.
option(UPDATE_STATIC "Link update into one static-pie executable (libcurl built from Debian's source)" OFF)

if(UPDATE_STATIC)
  if(UPDATE_SANITIZE OR UPDATE_FUZZ)
    message(FATAL_ERROR "UPDATE_STATIC does not go with UPDATE_SANITIZE or UPDATE_FUZZ")
  endif()
  # Debian ships ISA-L as a shared library only: the static build takes the
  # byte-table CRC.
  if(UPDATE_CRC STREQUAL "isal")
    find_library(UPDATE_ISAL_STATIC NAMES libisal.a)
    if(NOT UPDATE_ISAL_STATIC)
      message(STATUS "UPDATE_STATIC: no static libisal.a, the package CRC uses the byte table")
      set(UPDATE_CRC table CACHE STRING "Package CRC backend: isal or table" FORCE)
    endif()
  endif()
  set(UPDATE_SAVED_LIBRARY_SUFFIXES ${CMAKE_FIND_LIBRARY_SUFFIXES})
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  # One section per function and object, so that --gc-sections drops what
  # `update` never calls (the rooms serve the tools and tests too).
  add_compile_options(-ffunction-sections -fdata-sections)
  # Packed relative relocations (DT_RELR) shrink the static-pie's relocation
  # table from 24 bytes a pointer to a few bits; the C library's start code
  # applies them from glibc 2.36 on, so only a C library that new gets them.
  # (Debian 12's aarch64 linker takes the option but does not pack yet.)
  include(CheckCXXSourceCompiles)
  include(CheckLinkerFlag)
  check_cxx_source_compiles([[
#include <features.h>
#if !__GLIBC_PREREQ(2, 36)
#error old glibc
#endif
int main() { return 0; }]] UPDATE_GLIBC_RELR)
  check_linker_flag(CXX -Wl,-z,pack-relative-relocs UPDATE_LD_RELR)
  set(UPDATE_STATIC_RELR "")
  if(UPDATE_GLIBC_RELR AND UPDATE_LD_RELR)
    set(UPDATE_STATIC_RELR -Wl,-z,pack-relative-relocs)
  endif()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Curl.cmake)

# After the rooms: shared libraries again for what follows, and the static
# link of the shipped binary.
macro(update_static_finish)
  if(UPDATE_STATIC)
    set(CMAKE_FIND_LIBRARY_SUFFIXES ${UPDATE_SAVED_LIBRARY_SUFFIXES})
    # As a link item, so that it comes after CMake's own -pie on the line.
    target_link_libraries(update PRIVATE -static-pie -Wl,--gc-sections ${UPDATE_STATIC_RELR})
  endif()
endmacro()
