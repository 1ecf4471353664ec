# ctest script: the ABI of the shared object, as libabigail reads it from its debug information and
# the installed headers, must stay compatible with the description committed for its SONAME.
#
#   cmake -DABIDW=abidw -DABIDIFF=abidiff -DLIBRARY=lib.so -DBASELINE=file.abi
#         -DHEADERS="a.h|b.h" -DSOURCE_DIR=dir [-DUPDATE=ON] -P CheckAbi.cmake
#
# Hosts construct the wrapper and the connection by value, so a change to the layout of an installed
# class, to a record, or a removed or changed export breaks every host built before it. Added
# functions are compatible and pass. A build whose SONAME differs from the baseline's has moved its
# major version on purpose and passes with a note; UPDATE=ON then writes the new baseline.

cmake_minimum_required(VERSION 3.24)

foreach(var ABIDW ABIDIFF LIBRARY BASELINE HEADERS SOURCE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(header_args "")
string(REPLACE "|" ";" HEADERS "${HEADERS}")
foreach(header IN LISTS HEADERS)
  list(APPEND header_args --header-file ${header})
endforeach()
# Only what a host can reach: the exported functions and the types of the installed headers.
set(abidw_options --no-corpus-path --no-comp-dir-path --no-show-locs --exported-interfaces-only
                  --drop-private-types --type-id-style hash)

if(UPDATE)
  execute_process(COMMAND ${ABIDW} ${abidw_options} ${header_args} ${LIBRARY}
    RESULT_VARIABLE result OUTPUT_VARIABLE abi ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ABIDW} ${LIBRARY} failed (${result}): ${error}")
  endif()
  # The translation units' paths name the checkout; the comparison never reads them.
  string(REPLACE "${SOURCE_DIR}/" "" abi "${abi}")
  file(WRITE ${BASELINE} "${abi}")
  message(STATUS "wrote ${BASELINE}")
  return()
endif()

file(STRINGS ${BASELINE} corpus_line REGEX "<abi-corpus " LIMIT_COUNT 1)
string(REGEX MATCH "soname='([^']*)'" _ "${corpus_line}")
set(baseline_soname "${CMAKE_MATCH_1}")
execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE result)
string(REGEX MATCH "Library soname: \\[([^]]*)\\]" _ "${dynamic}")
set(soname "${CMAKE_MATCH_1}")
if(NOT result EQUAL 0 OR soname STREQUAL "")
  message(FATAL_ERROR "cannot read the SONAME of ${LIBRARY}")
endif()
if(NOT soname STREQUAL baseline_soname)
  message(STATUS "${soname} is a new major version (the baseline is ${baseline_soname}): no comparison; "
                 "write its baseline with -DUPDATE=ON")
  return()
endif()

execute_process(
  COMMAND ${ABIDIFF} --no-added-syms ${BASELINE} ${LIBRARY}
  RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE error)
# abidiff's status is a bit set: 1 tool error, 2 usage error, 4 an ABI change, 8 an incompatible one.
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} (${soname}) is not ABI-compatible with ${BASELINE} (abidiff status ${result}):\n"
                      "${report}${error}\n"
                      "Keep the installed classes' layout and the exported signatures, or move the SOVERSION "
                      "and write a new baseline.")
endif()
message(STATUS "${LIBRARY} keeps the ABI of ${BASELINE}")
