# Precompiled headers: the heavy third-party and standard headers are parsed once per build tree
# and reused by every target that asks for them, instead of once per source file. A reusing target
# must compile with the flags of the target that made the header; GCC refuses a header made
# otherwise (-Winvalid-pch, an error with -Werror), so a mismatch cannot pass unnoticed.
#
#   cloudstack_tool_pch(target)   nlohmann::json and the standard library (tools)
#   cloudstack_test_pch(target)   the same, GoogleTest and GoogleMock (test programs, compiled
#                                 with CLOUDSTACK_TEST_COMPILE_OPTIONS)

set(CLOUDSTACK_PCH_STD_HEADERS
  <algorithm> <chrono> <cstddef> <cstdint> <cstdio> <functional> <map> <memory> <mutex> <optional>
  <sstream> <string> <thread> <utility> <vector>)

if(CLOUDSTACK_PCH)
  set(pch_source ${PROJECT_BINARY_DIR}/pch/PchUnit.cpp)
  file(CONFIGURE OUTPUT ${pch_source} CONTENT "// The precompiled header is made with this unit's flags.\n")

  add_library(CloudStackToolPch OBJECT ${pch_source})
  target_link_libraries(CloudStackToolPch PRIVATE nlohmann_json::nlohmann_json)
  target_precompile_headers(CloudStackToolPch PRIVATE <nlohmann/json.hpp> ${CLOUDSTACK_PCH_STD_HEADERS})
  cloudstack_warnings(CloudStackToolPch)

  if(CLOUDSTACK_BUILD_TESTS)
    find_package(GTest REQUIRED)
    add_library(CloudStackTestPch OBJECT ${pch_source})
    target_link_libraries(CloudStackTestPch PRIVATE nlohmann_json::nlohmann_json GTest::gtest GTest::gmock)
    target_compile_options(CloudStackTestPch PRIVATE ${CLOUDSTACK_TEST_COMPILE_OPTIONS})
    target_precompile_headers(CloudStackTestPch PRIVATE
      <gtest/gtest.h> <gmock/gmock.h> <nlohmann/json.hpp> <regex> ${CLOUDSTACK_PCH_STD_HEADERS})
    cloudstack_warnings(CloudStackTestPch)
  endif()
endif()

function(cloudstack_tool_pch target)
  if(CLOUDSTACK_PCH)
    target_precompile_headers(${target} REUSE_FROM CloudStackToolPch)
  endif()
endfunction()

function(cloudstack_test_pch target)
  if(CLOUDSTACK_PCH)
    target_precompile_headers(${target} REUSE_FROM CloudStackTestPch)
  endif()
endfunction()
