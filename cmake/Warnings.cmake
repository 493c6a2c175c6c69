# One INTERFACE target carries the warning and sanitizer flags; every target
# of the project links it.
add_library(update_warnings INTERFACE)
target_compile_options(update_warnings INTERFACE -Wall -Wextra -Wformat=2 -Wno-format-nonliteral)
if(UPDATE_WERROR)
  target_compile_options(update_warnings INTERFACE -Werror)
endif()
if(UPDATE_SANITIZE)
  target_compile_options(update_warnings INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(update_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(UPDATE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "UPDATE_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  target_compile_options(update_warnings INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(update_warnings INTERFACE -fsanitize=address,undefined)
endif()
