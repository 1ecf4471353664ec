# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> [-DNAMESPACE=<namespace>] -P EmbedFile.cmake
# Writes a C++ source whose function <namespace>::<name>() (cssim by default) returns the bytes of INPUT. Bytes,
# not a raw string literal: any content compiles.
if(NOT NAMESPACE)
  set(NAMESPACE cssim)
endif()
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\nnamespace {\n"
  "const char kBytes[${size} + 1] = {\n${bytes}'\\0'};\n}  // namespace\n\n"
  "std::string_view ${FUNCTION}() {\n    return std::string_view(kBytes, ${size});\n}\n\n}  // namespace ${NAMESPACE}\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
