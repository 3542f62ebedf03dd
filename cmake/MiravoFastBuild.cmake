# Precompiled headers for host code. Most of a host object's compile time goes to parsing the
# standard library (and gtest, in tests), so every host target reuses one of two headers compiled
# once per build: the library set, or the test set (the library set plus gtest). Each is owned by
# an object library of its own so that no target waits for another's link. Reuse needs the same
# compile options, which all host targets share (MIRAVO_HOST_WARNINGS, the sanitizer flags).
# Driver code does not use them: it sees only platform/ headers and builds with its own flags.
option(MIRAVO_PCH "Precompiled headers for host code (faster builds)" ON)

if(MIRAVO_PCH)
  set(MIRAVO_PCH_HOST_HEADERS
      <algorithm> <array> <atomic> <chrono> <cstdint> <cstdio> <cstdlib> <cstring> <deque>
      <functional> <map> <memory> <mutex> <optional> <span> <string> <string_view> <thread>
      <unordered_map> <utility> <vector>)
  file(WRITE ${CMAKE_BINARY_DIR}/pch_owner.cpp "")
  foreach(kind host test)
    add_library(miravo_pch_${kind} OBJECT ${CMAKE_BINARY_DIR}/pch_owner.cpp)
    target_compile_options(miravo_pch_${kind} PRIVATE ${MIRAVO_HOST_WARNINGS})
  endforeach()
  target_precompile_headers(miravo_pch_host PRIVATE ${MIRAVO_PCH_HOST_HEADERS})
  target_precompile_headers(miravo_pch_test PRIVATE ${MIRAVO_PCH_HOST_HEADERS} <gtest/gtest.h>)
  target_link_libraries(miravo_pch_test PRIVATE GTest::gtest)  # its definitions are part of the header
endif()

# miravo_pch(<kind: host|test> <target>...)
function(miravo_pch kind)
  if(MIRAVO_PCH)
    foreach(target ${ARGN})
      target_precompile_headers(${target} REUSE_FROM miravo_pch_${kind})
    endforeach()
  endif()
endfunction()

# Unity builds for the test programs: their objects share most of their template instantiations
# (gtest, the standard library, the lab's helpers), which a batch compiles once. A name a test file
# defines at file scope must therefore be unique to its program (shared ones live in the support
# headers); a file that cannot take part says so with SKIP_UNITY_BUILD_INCLUSION.
option(MIRAVO_UNITY "Unity builds for the test programs (faster fresh builds)" ON)
set(MIRAVO_UNITY_BATCH 8 CACHE STRING "Test files per unity batch (0: one batch a program)")

function(miravo_unity)
  if(MIRAVO_UNITY)
    set_target_properties(${ARGN} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${MIRAVO_UNITY_BATCH})
  endif()
endfunction()
