# API reference: `cmake --build build --target docs` writes HTML of the public headers to
# build/docs/html with Doxygen (Debian's doxygen package). Without doxygen there is no docs target
# and nothing else changes. A public declaration without its comment, or a parameter without
# @param, fails the target.
#
# The reference shows what a host can call, and nothing else: a first run writes the headers' XML,
# cmake/CloudStackDocsSurface.cmake picks from it each function that is neither exported
# (tests/exported-symbols.txt, which the test ExportedSymbols holds to the shared object) nor
# defined in its header, and a second run writes the HTML without them. A member added later
# follows the same rule.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "doxygen not found: no docs target (apt-get install doxygen)")
  return()
endif()

set(DOXYGEN_PROJECT_NAME "CloudStackSDKWrapper")
set(DOXYGEN_PROJECT_BRIEF "${PROJECT_DESCRIPTION}")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_XML YES)
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
# Types of the installed headers that no host-callable function hands out: the transfer seam of the
# tests, the REST base's request details, the TLS settings and the log's destinations.
set(DOXYGEN_EXCLUDE_SYMBOLS
  TeskLibCurlTls TeskTransferRequest TeskTransferReply TeskTransferFunction TeskRestApiRequestOptions
  TraceLogFileInstance _http_hdr_type_ _http_req_type_)

set(docs_inputs ${PROJECT_SOURCE_DIR}/README.md)
foreach(header ${CLOUDSTACK_PUBLIC_HEADERS})
  list(APPEND docs_inputs ${PROJECT_SOURCE_DIR}/${header})
endforeach()
doxygen_add_docs(docs ${docs_inputs} COMMENT "API reference of the public headers (build/docs/html)")
find_program(CLOUDSTACK_AWK NAMES awk mawk gawk REQUIRED)
add_custom_command(TARGET docs POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DDOXYGEN=${DOXYGEN_EXECUTABLE} -DDOXYFILE=${CMAKE_CURRENT_BINARY_DIR}/Doxyfile.docs
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DOUTPUT_DIR=${DOXYGEN_OUTPUT_DIRECTORY} -DAWK=${CLOUDSTACK_AWK}
          -DEXPORTS=${PROJECT_SOURCE_DIR}/tests/exported-symbols.txt -P ${PROJECT_SOURCE_DIR}/cmake/CloudStackDocsSurface.cmake
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  VERBATIM)
