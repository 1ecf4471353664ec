# The second half of the docs target (cmake/CloudStackDocs.cmake): from the XML of the first
# doxygen run (OUTPUT_DIR/xml), finds what a host cannot call, and runs doxygen again without it
# (OUTPUT_DIR/html, and OUTPUT_DIR/xml-host for the check).
#
#   A class or struct with member functions is shown only when the shared object exports one of
#   them (tests/exported-symbols.txt); one without functions (a record) is shown.
#   In a class shown and among the free functions, a public or protected function is shown when it
#   is exported or defined in its header; the declarations of the others, with their comments, reach
#   doxygen as blank lines (an awk input filter), so that line numbers stay right.
#
# Then checks the second run: every function shown is callable, and every exported function is shown.
#
#   cmake -DDOXYGEN=doxygen -DDOXYFILE=Doxyfile.docs -DSOURCE_DIR=src -DOUTPUT_DIR=docs
#         -DEXPORTS=tests/exported-symbols.txt -DAWK=awk -P CloudStackDocsSurface.cmake

cmake_minimum_required(VERSION 3.24)

foreach(var DOXYGEN DOXYFILE SOURCE_DIR OUTPUT_DIR EXPORTS AWK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

# The qualified names of the exported functions ("T" lines), overloads once.
file(STRINGS ${EXPORTS} lines REGEX "^T ")
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "^T ([^(]+)\\(")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES exported)

# xml_attribute(<out> <text> <name>): the value of attribute <name> in <text>, empty when absent.
function(xml_attribute out text name)
  if(text MATCHES " ${name}=\"([^\"]*)\"")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# read_functions(<prefix> <xml file>): the compound's name and kind in <prefix>_compound and
# <prefix>_kind, and its documented functions as parallel lists <prefix>_names (qualified name),
# <prefix>_prots, <prefix>_inlines and <prefix>_locations ("file:line").
function(read_functions prefix xml)
  file(READ ${xml} text)
  # Lists below must not split on the XML's own semicolons (&amp; and the like).
  string(REPLACE ";" "<semicolon>" text "${text}")
  xml_attribute(kind "${text}" "kind")
  set(compound "")
  if(text MATCHES "<compoundname>([^<]*)</compoundname>")
    set(compound "${CMAKE_MATCH_1}")
  endif()
  set(names "")
  set(prots "")
  set(inlines "")
  set(locations "")
  while(TRUE)
    string(FIND "${text}" "<memberdef kind=\"function\"" start)
    if(start EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${text}" ${start} -1 text)
    string(FIND "${text}" "</memberdef>" end)
    string(SUBSTRING "${text}" 0 ${end} member)
    string(SUBSTRING "${text}" ${end} -1 text)

    string(REGEX MATCH "^<memberdef [^>]*>" head "${member}")
    xml_attribute(prot "${head}" "prot")
    xml_attribute(inline "${head}" "inline")
    if(member MATCHES "<qualifiedname>([^<]*)</qualifiedname>")
      set(name "${CMAKE_MATCH_1}")
    elseif(member MATCHES "<name>([^<]*)</name>")
      set(name "${CMAKE_MATCH_1}")
    endif()
    string(REGEX MATCH "<location [^>]*>" location "${member}")
    xml_attribute(file "${location}" "file")
    xml_attribute(line "${location}" "line")
    list(APPEND names "${name}")
    list(APPEND prots "${prot}")
    list(APPEND inlines "${inline}")
    list(APPEND locations "${file}:${line}")
  endwhile()
  foreach(var compound kind names prots inlines locations)
    set(${prefix}_${var} "${${var}}" PARENT_SCOPE)
  endforeach()
endfunction()

# hidden_symbols(<classes out> <locations out> <not-callable out> <missing out> <xml dir>)
function(hidden_symbols classes_out locations_out shown_out missing_out xml_dir)
  file(GLOB compounds ${xml_dir}/class*.xml ${xml_dir}/struct*.xml ${xml_dir}/namespace*.xml ${xml_dir}/*_8h.xml)
  set(classes "")
  set(locations "")
  set(shown_not_callable "")
  set(shown "")
  foreach(xml IN LISTS compounds)
    read_functions(c ${xml})
    list(LENGTH c_names count)
    if(count EQUAL 0)
      continue()
    endif()
    set(class_exported FALSE)
    foreach(name IN LISTS c_names)
      if(name IN_LIST exported)
        set(class_exported TRUE)
      endif()
    endforeach()
    if(c_kind MATCHES "^(class|struct|union)$" AND NOT class_exported)
      list(APPEND classes "${c_compound}")
      continue()
    endif()
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      list(GET c_names ${i} name)
      list(GET c_prots ${i} prot)
      list(GET c_inlines ${i} inline)
      list(GET c_locations ${i} location)
      if(prot STREQUAL "private")
        continue()
      endif()
      list(APPEND shown "${name}")
      if(NOT name IN_LIST exported AND NOT inline STREQUAL "yes")
        list(APPEND locations "${location}")
        list(APPEND shown_not_callable "${name}")
      endif()
    endforeach()
  endforeach()
  set(missing "")
  foreach(name IN LISTS exported)
    if(NOT name IN_LIST shown)
      list(APPEND missing "${name}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES locations)
  set(${classes_out} "${classes}" PARENT_SCOPE)
  set(${locations_out} "${locations}" PARENT_SCOPE)
  set(${shown_out} "${shown_not_callable}" PARENT_SCOPE)
  set(${missing_out} "${missing}" PARENT_SCOPE)
endfunction()

hidden_symbols(classes locations ignored ignored ${OUTPUT_DIR}/xml)

# The awk filter: each hidden declaration, from the /// block above it down to its semicolon, as
# blank lines.
set(keys "")
foreach(location IN LISTS locations)
  if(location MATCHES "^(.+):([0-9]+)$")
    cmake_path(ABSOLUTE_PATH CMAKE_MATCH_1 BASE_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE file)
    string(APPEND keys "  hide[\"${file}:${CMAKE_MATCH_2}\"] = 1\n")
  endif()
endforeach()
set(filter ${OUTPUT_DIR}/host-surface.awk)
file(WRITE ${filter} "BEGIN {\n${keys}}\n" [=[
skipping { print ""; if ($0 ~ /;/) skipping = 0; next }
/^[ \t]*\/\/\// { comment[n++] = $0; next }
(FILENAME ":" FNR) in hide {
  for (i = 0; i < n; i++) print ""
  n = 0
  print ""
  if ($0 !~ /;/) skipping = 1
  next
}
{
  for (i = 0; i < n; i++) print comment[i]
  n = 0
  print
}
END { for (i = 0; i < n; i++) print comment[i] }
]=])

list(JOIN classes " " excluded_classes)
set(doxyfile ${OUTPUT_DIR}/Doxyfile.host-surface)
file(WRITE ${doxyfile}
  "@INCLUDE = ${DOXYFILE}\n"
  "INPUT_FILTER = \"${AWK} -f ${filter}\"\n"
  "EXCLUDE_SYMBOLS += ${excluded_classes}\n"
  "XML_OUTPUT = xml-host\n")
# Clean output folders: pages of the first run must not stay behind.
file(REMOVE_RECURSE ${OUTPUT_DIR}/html ${OUTPUT_DIR}/xml-host)
execute_process(COMMAND ${DOXYGEN} ${doxyfile} COMMAND_ERROR_IS_FATAL ANY)

hidden_symbols(classes locations not_callable missing ${OUTPUT_DIR}/xml-host)
if(classes OR not_callable)
  message(FATAL_ERROR "The API reference shows what a host cannot call: ${classes} ${not_callable}")
endif()
if(missing)
  message(FATAL_ERROR "The API reference lacks exported functions: ${missing}")
endif()
