# Windows builds. The x86_64 build exists to run the program and its tests
# under wine64 on machines that cannot run 32-bit programs; it plays the
# shipped 32-bit program on a 64-bit machine (registry view, IsWow64Process),
# see tests/wine/tw_wow64_personality.h. The i686 build is the product and gets nothing.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  target_compile_options(tw_platform INTERFACE
    "SHELL:-include ${CMAKE_SOURCE_DIR}/tests/wine/tw_wow64_personality.h")
endif()
