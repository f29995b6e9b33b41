# libxml2: the table loader binds it when it reads its first document, from
# "twlibxml2.dll" on Windows and from the system's library (by its soname) on
# Linux, so nothing is linked; the Linux build compiles against its headers to
# check the node layout.
if(NOT WIN32)
  find_package(LibXml2 REQUIRED)
  include(cmake/soname.cmake)
  tw_soname(_tw_libxml2_soname "${LIBXML2_LIBRARY}")
  target_include_directories(tables PRIVATE ${LIBXML2_INCLUDE_DIRS})
  # On the platform target, so that every build of the table library sees it.
  target_compile_definitions(tw_platform INTERFACE TW_LIBXML2_SONAME="${_tw_libxml2_soname}")
endif()
