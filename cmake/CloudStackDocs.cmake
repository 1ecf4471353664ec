# API reference: `cmake --build build --target docs` writes HTML of the public headers to
# build/docs/html with Doxygen (Debian's doxygen package). Without doxygen there is no docs target
# and nothing else changes. A public declaration without its comment, or a parameter without
# @param, fails the target.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "doxygen not found: no docs target (apt-get install doxygen)")
  return()
endif()

set(DOXYGEN_PROJECT_NAME "CloudStackSDKWrapper")
set(DOXYGEN_PROJECT_BRIEF "${PROJECT_DESCRIPTION}")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_FULL_PATH_NAMES NO)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_HIDE_UNDOC_CLASSES YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_NO_PARAMDOC YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_QUIET YES)
# The export macros are attributes, not part of the interface a reader needs.
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
set(DOXYGEN_PREDEFINED "CLOUDSTACK_EXPORT=" "CLOUDSTACK_PRINTF(a,b)=")
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)

set(docs_inputs ${PROJECT_SOURCE_DIR}/README.md)
foreach(header ${CLOUDSTACK_PUBLIC_HEADERS})
  list(APPEND docs_inputs ${PROJECT_SOURCE_DIR}/${header})
endforeach()
doxygen_add_docs(docs ${docs_inputs} COMMENT "API reference of the public headers (build/docs/html)")
