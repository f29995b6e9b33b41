# The packages of `make package`, made by CPack into build/packages:
#   Linux (release preset): a Debian package of the four programs, the README
#     and the example machines and fleet, with /var/lib/tidewell (the registry's and the
#     drives' default home) created;
#   Windows (mingw-i686 preset): a zip of the checked release folder that
#     `make windows-release` fills (program, twlibxml2.dll and its licence,
#     INSTALL.txt, the manifest check).
# The Makefile builds what is packed; CPack does not build the whole tree first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME twprereqhandler)
set(CPACK_PACKAGE_VENDOR "Brightmoor")
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "Tidewell agent team <tidewell-agent@brightmoor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Prerequisite checker of the Tidewell agent")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/build/packages)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(TW_WINDOWS_RELEASE_DIR ${CMAKE_SOURCE_DIR}/build/release-windows
      CACHE PATH "The release folder that make windows-release fills")
  install(DIRECTORY ${TW_WINDOWS_RELEASE_DIR}/ DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME twprereqhandler-${CPACK_PACKAGE_VERSION}-windows-x86)
else()
  install(TARGETS twprereqhandler twreg twfetch twreplay RUNTIME DESTINATION bin)
  install(FILES README.md DESTINATION share/doc/twprereqhandler)
  file(GLOB _tw_examples ${CMAKE_SOURCE_DIR}/examples/*.reg)
  install(FILES ${_tw_examples} DESTINATION share/doc/twprereqhandler/examples)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/fleet DESTINATION share/doc/twprereqhandler/examples)
  install(DIRECTORY DESTINATION /var/lib/tidewell)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  # What the programs link (SQLite, the C++ runtime) comes from dpkg-shlibdeps.
  # libcurl, OpenSSL and libxml2 are loaded on first use, so shlibdeps cannot
  # see them: the packages that hold the libraries this build found are named.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  find_package(CURL REQUIRED)
  find_package(OpenSSL REQUIRED)
  find_package(LibXml2 REQUIRED)
  set(_tw_loaded_packages "")
  foreach(_lib ${CURL_LIBRARIES} ${OPENSSL_SSL_LIBRARY} ${OPENSSL_CRYPTO_LIBRARY} ${LIBXML2_LIBRARY})
    get_filename_component(_real "${_lib}" REALPATH)
    execute_process(COMMAND dpkg-query -S "${_real}" OUTPUT_VARIABLE _owner
                    RESULT_VARIABLE _rc ERROR_QUIET)
    if(NOT _rc EQUAL 0)
      message(WARNING "no Debian package holds ${_real}: the package will not depend on it")
      continue()
    endif()
    string(REGEX MATCH "^[^:,]+" _pkg "${_owner}")
    list(APPEND _tw_loaded_packages "${_pkg}")
  endforeach()
  list(REMOVE_DUPLICATES _tw_loaded_packages)
  list(JOIN _tw_loaded_packages ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "twprereqhandler as it runs on Linux against a registry kept in SQLite,
twreg (the registry store's command-line tool, shaped like reg.exe) and
twfetch (the agent's server requests from the command line) and twreplay
(what the checker answers on machines given as regedit exports, offline).")
endif()
include(CPack)
