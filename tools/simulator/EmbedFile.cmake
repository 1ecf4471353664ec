# cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DFUNCTION=<name> -P EmbedFile.cmake
# Writes a C++ source whose function cssim::<name>() returns the bytes of INPUT. Bytes, not a raw string
# literal: any content compiles.
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#include <string_view>\n\nnamespace cssim {\nnamespace {\n"
  "const char kBytes[${size} + 1] = {\n${bytes}'\\0'};\n}  // namespace\n\n"
  "std::string_view ${FUNCTION}() {\n    return std::string_view(kBytes, ${size});\n}\n\n}  // namespace cssim\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
