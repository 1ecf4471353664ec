# Manual pages of the tools, section 1: written by help2man from the program's own --help each time
# the program is linked, so that a new option appears in the page without anyone editing it.
#
#   cloudstack_man_page(target "what it is")   share/man/man1/<target>.1.gz, component tools
find_program(CLOUDSTACK_HELP2MAN help2man)
if(NOT CLOUDSTACK_HELP2MAN)
  message(FATAL_ERROR "help2man not found: it writes the tools' manual pages (apt-get install help2man), "
    "or configure with -DCLOUDSTACK_BUILD_TOOLS=OFF")
endif()
find_program(CLOUDSTACK_GZIP gzip REQUIRED)

function(cloudstack_man_page target description)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CLOUDSTACK_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION} --name=${description}
            --output=${page} $<TARGET_FILE:${target}>
    # Compressed as Debian wants manual pages: no name and no time stamp in the gzip header.
    COMMAND ${CLOUDSTACK_GZIP} -9nf ${page}
    COMMENT "Manual page ${target}(1) from ${target} --help"
    VERBATIM)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
