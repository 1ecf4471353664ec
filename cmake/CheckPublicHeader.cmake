# ctest script: compiles one installed header alone, with nothing but the public include folder on
# the path (twice in one unit, so that its include guard is tested too), and fails when it pulls
# in any file that is neither in that folder nor part of the standard library.
#
#   cmake -DCOMPILER=c++ -DINCLUDE_DIR=dir -DHEADER=name.h -DWORK_DIR=dir -P CheckPublicHeader.cmake

cmake_minimum_required(VERSION 3.24)

foreach(var COMPILER INCLUDE_DIR HEADER WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
file(MAKE_DIRECTORY ${WORK_DIR})

# included_files(<out> <source> <extra args>...): every file the source pulls in, as the
# preprocessor found it.
function(included_files out source)
  execute_process(
    COMMAND ${COMPILER} -std=c++17 ${ARGN} -H ${source}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE stdout
    ERROR_VARIABLE stderr)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${COMPILER} ${ARGN} ${source} failed:\n${stdout}${stderr}")
  endif()
  string(REPLACE "\n" ";" lines "${stderr}")
  set(files "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\.+ (.+)$")
      get_filename_component(file "${CMAKE_MATCH_1}" ABSOLUTE)
      list(APPEND files "${file}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

# The standard library's own files: whatever the whole C++ library and the POSIX headers that a
# public header may name pull in. Each header's check has a file of its own: ctest runs them in
# parallel, and one check rewriting a file that another is compiling makes that one fail.
set(reference ${WORK_DIR}/StandardLibrary-${HEADER}.cpp)
file(WRITE ${reference} "#include <bits/stdc++.h>\n#include <strings.h>\n#include <unistd.h>\n")
included_files(standard ${reference} -E -o /dev/null)

set(unit ${WORK_DIR}/${HEADER}.cpp)
file(WRITE ${unit} "#include \"${HEADER}\"\n#include \"${HEADER}\"\n")
included_files(pulled ${unit} -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I${INCLUDE_DIR})

get_filename_component(public_dir "${INCLUDE_DIR}" ABSOLUTE)
set(foreign "")
foreach(file IN LISTS pulled)
  get_filename_component(dir "${file}" DIRECTORY)
  if(NOT dir STREQUAL public_dir AND NOT file IN_LIST standard)
    list(APPEND foreign "${file}")
  endif()
endforeach()
if(foreign)
  list(JOIN foreign "\n  " text)
  message(FATAL_ERROR "${HEADER} pulls in files that a host does not have:\n  ${text}")
endif()
message(STATUS "${HEADER} compiles alone and pulls in only public headers and the standard library")
