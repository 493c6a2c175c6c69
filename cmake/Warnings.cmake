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
