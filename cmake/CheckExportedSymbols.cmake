# ctest script: the defined dynamic symbols of the shared object, as
# `nm -D --defined-only --demangle` names them (type letter and name), must equal the allow-list.
#
#   cmake -DNM=nm -DLIBRARY=lib.so -DALLOW_LIST=file -P CheckExportedSymbols.cmake

cmake_minimum_required(VERSION 3.24)

foreach(var NM LIBRARY ALLOW_LIST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND ${NM} -D --defined-only --demangle ${LIBRARY}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} ${LIBRARY} failed: ${error}")
endif()

string(REPLACE "\n" ";" lines "${output}")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
  endif()
endforeach()
list(SORT exported)

file(STRINGS ${ALLOW_LIST} allowed REGEX "^[^#]")
list(SORT allowed)

list(LENGTH exported count)
list(LENGTH allowed allowed_count)
if(NOT exported STREQUAL allowed)
  # Constructors and destructors appear once per variant (complete, base, deleting) under one name.
  set(unexpected ${exported})
  list(REMOVE_ITEM unexpected ${allowed})
  set(missing ${allowed})
  list(REMOVE_ITEM missing ${exported})
  list(JOIN unexpected "\n  + " added)
  list(JOIN missing "\n  - " removed)
  message(FATAL_ERROR "${LIBRARY} exports ${count} symbols where ${ALLOW_LIST} lists ${allowed_count}:\n"
                      "  + ${added}\n  - ${removed}\n"
                      "Change the export annotations, or the allow-list when the change is intended.")
endif()
message(STATUS "${LIBRARY} exports exactly the ${count} symbols of the allow-list")
