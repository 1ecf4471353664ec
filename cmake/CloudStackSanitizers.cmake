# Sanitizer builds: every target of the tree, ours and the test servers alike, is instrumented,
# so that a report names the line on either side of a call.
if(CLOUDSTACK_SANITIZE AND CLOUDSTACK_TSAN)
  message(FATAL_ERROR "CLOUDSTACK_SANITIZE and CLOUDSTACK_TSAN exclude each other: use two build trees")
endif()

if(CLOUDSTACK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(CLOUDSTACK_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
