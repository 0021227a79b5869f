# Warning flags shared by every target of the project.
add_library(ossara_warnings INTERFACE)
target_compile_options(ossara_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(OSSARA_WERROR)
  target_compile_options(ossara_warnings INTERFACE -Werror)
endif()
