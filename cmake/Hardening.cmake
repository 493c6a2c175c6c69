# Hardening of every target, on by default: stack protector, _FORTIFY_SOURCE=2
# on optimised builds, position-independent executables, full RELRO (BIND_NOW)
# and a non-executable stack. tools/check-hardening.sh reads the result back
# from the shipped binary's ELF (test Hardening.ShippedBinary).
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
# FORTIFY needs the optimiser; the sanitizers and libFuzzer bring their own
# interceptors and are left without it.
if(NOT UPDATE_SANITIZE AND NOT UPDATE_FUZZ)
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)

# What the hardening test expects of an optimised build.
if(CMAKE_BUILD_TYPE STREQUAL "Debug" OR UPDATE_SANITIZE OR UPDATE_FUZZ)
  set(UPDATE_EXPECT_FORTIFY 0)
else()
  set(UPDATE_EXPECT_FORTIFY 1)
endif()
