# Warning flags shared by every target of the project.
add_library(ossara_warnings INTERFACE)
target_compile_options(ossara_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(OSSARA_WERROR)
  target_compile_options(ossara_warnings INTERFACE -Werror)
endif()
# Asio's fenced blocks use std::atomic_thread_fence, which GCC 12 reports
# under -fsanitize=thread (-Wtsan); that would break the tsan preset with -Werror.
target_compile_options(ossara_warnings INTERFACE $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
