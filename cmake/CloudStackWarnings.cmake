# Warning flags for our own targets only; third-party headers come in as system includes.
function(cloudstack_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wformat=2)
  if(CLOUDSTACK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
