# tw_soname(<var> <library file>): the SONAME recorded in a shared library, for
# the libraries the Linux build loads on first use instead of linking them.
function(tw_soname out library)
  get_filename_component(_real "${library}" REALPATH)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p "${_real}" OUTPUT_VARIABLE _dump
                  RESULT_VARIABLE _rc ERROR_QUIET)
  string(REGEX MATCH "SONAME +([^ \t\r\n]+)" _match "${_dump}")
  if(NOT _rc EQUAL 0 OR NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "cannot read the SONAME of ${library}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
