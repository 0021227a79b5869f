# What keeps a build of every configuration short: the heavy third-party
# headers precompiled once per family of targets, and a build target per
# test label, so that a configuration that runs only some of the tests
# builds only those. (The presets of the test command also compile each
# target's sources in batches, CMAKE_UNITY_BUILD: a batch compiles the
# headers and the templates its sources share once.)

# Precompiled headers: Asio, nlohmann/json, spdlog and GoogleTest make up
# most of what every source of ours compiles (the libraries' public headers
# bring Asio and nlohmann/json everywhere). A family shares one header list;
# the test programs share one precompiled header, built once.
option(OSSARA_PRECOMPILE_HEADERS "Precompile the heavy third-party headers" ON)

set(OSSARA_PCH_std <algorithm> <chrono> <functional> <memory> <optional> <string> <string_view> <vector>)
set(OSSARA_PCH_asio_parts
  <asio/awaitable.hpp> <asio/co_spawn.hpp> <asio/io_context.hpp> <asio/steady_timer.hpp> <asio/use_awaitable.hpp>)
# Each family holds only headers its targets have on their include paths
# with the compile definitions they need (spdlog's, Asio's).
set(OSSARA_PCH_json ${OSSARA_PCH_std} <nlohmann/json.hpp>)
set(OSSARA_PCH_asio ${OSSARA_PCH_std} ${OSSARA_PCH_asio_parts})
set(OSSARA_PCH_logged ${OSSARA_PCH_json} <spdlog/spdlog.h>)
set(OSSARA_PCH_library ${OSSARA_PCH_logged} <asio/awaitable.hpp>)
set(OSSARA_PCH_tool ${OSSARA_PCH_logged} ${OSSARA_PCH_asio_parts})
set(OSSARA_PCH_test ${OSSARA_PCH_tool} <gtest/gtest.h> <gmock/gmock.h>)

# In a unity build every source is an included file, and GCC then reports
# each anonymous-namespace type that a named class of the source uses
# (-Wsubobject-linkage), as it would in a header that many files include;
# each source is still compiled exactly once.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(ossara_warnings INTERFACE -Wno-subobject-linkage)
endif()

# ossara_precompile(<target> <family>): <target> compiles with the family's
# headers precompiled. Not in a unity build: a batch of sources compiles the
# headers once anyway, and the precompiled header would cost more than the
# few batches save.
function(ossara_precompile target family)
  get_target_property(unity ${target} UNITY_BUILD)
  if(NOT OSSARA_PRECOMPILE_HEADERS OR unity)
    return()
  endif()
  target_precompile_headers(${target} PRIVATE ${OSSARA_PCH_${family}})
  ossara_pch_for_ccache(${target})
endfunction()

# ccache caches a compilation that uses a precompiled header only when the
# preprocessor output names the header (GCC's -fpch-preprocess) and it may
# ignore __DATE__/__TIME__ and the macros of the header (the sloppiness set
# in the compiler launcher).
function(ossara_pch_for_ccache target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fpch-preprocess)
  endif()
endfunction()

# ossara_label_targets(<target> <label>...): the build target tests_<label>
# builds <target> (a test program, or a program a test of that label runs).
function(ossara_label_targets target)
  foreach(label IN LISTS ARGN)
    if(NOT TARGET tests_${label})
      add_custom_target(tests_${label})
    endif()
    add_dependencies(tests_${label} ${target})
  endforeach()
endfunction()
