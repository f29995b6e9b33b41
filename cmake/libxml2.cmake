# libxml2: linked on Linux; on Windows the table loader loads "twlibxml2.dll"
# at run time, so nothing is linked there.
if(NOT WIN32)
  find_package(LibXml2 REQUIRED)
  target_link_libraries(tables PUBLIC LibXml2::LibXml2)
endif()
