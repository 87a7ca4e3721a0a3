# Debian packages of the install components (cmake/ObjstoreInstall.cmake),
# made by CPack in a tree configured for /usr (tools/make-debs.sh):
#   libobjstore-hostN   libobjstore_host.so.N            (component host)
#   libobjstore-utilsN  libobjstore_utils.so.N           (component runtime)
#   libobjstore-utils-dev  headers, links, CMake package, .pc  (component dev)
#   osutil              the tool, man page, completion  (component tools)
# N is the ABI version: a library package's name changes with its SONAME, so
# that programs built against the old ABI keep the old package installed.
set(OBJSTORE_DEB_HOST libobjstore-host${OBJSTORE_SOVERSION})
set(OBJSTORE_DEB_RUNTIME libobjstore-utils${OBJSTORE_SOVERSION})
set(OBJSTORE_DEB_DEV libobjstore-utils-dev)
set(OBJSTORE_DEB_TOOLS osutil)
set(OBJSTORE_DEB_COMPONENTS host runtime dev)
if(OBJSTORE_BUILD_TOOLS)
  list(APPEND OBJSTORE_DEB_COMPONENTS tools)
endif()

# The Debian revision comes from the latest entry of packaging/changelog.Debian,
# which must be for this release: checked when packaging (cmake/CPackChecks.cmake).
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian OBJSTORE_DEB_LATEST LIMIT_COUNT 1)
if(NOT OBJSTORE_DEB_LATEST MATCHES "^[a-z0-9.+-]+ \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog.Debian: the first line is not a changelog entry's "
                      "'source (version-revision) ...': ${OBJSTORE_DEB_LATEST}")
endif()
set(OBJSTORE_DEB_CHANGELOG_VERSION ${CMAKE_MATCH_1})
set(OBJSTORE_DEB_REVISION ${CMAKE_MATCH_2})

# What Debian asks of every package, installed by trees configured for /usr
# only (the packages' trees; cmake/CPackChecks.cmake insists on it):
# /usr/share/doc/<package>/ holds the copyright file (which points at the
# Apache-2.0 text every Debian system has), the Debian changelog and the
# upstream one, both compressed as Debian wants them: -9, and -n (no name or
# time stamp) so that the packages are reproducible. Lintian overrides say
# which of its warnings are expected, and why.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  find_program(OBJSTORE_GZIP gzip REQUIRED)
  set(OBJSTORE_DEB_BUILD_DIR ${PROJECT_BINARY_DIR}/packaging)
  set(OBJSTORE_DOC_FILES)
  foreach(pair "packaging/changelog.Debian:changelog.Debian" "CHANGELOG.md:changelog")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 name)
    add_custom_command(OUTPUT ${OBJSTORE_DEB_BUILD_DIR}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${source} ${OBJSTORE_DEB_BUILD_DIR}/${name}
      COMMAND ${OBJSTORE_GZIP} -9nf ${OBJSTORE_DEB_BUILD_DIR}/${name}
      DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
    list(APPEND OBJSTORE_DOC_FILES ${OBJSTORE_DEB_BUILD_DIR}/${name}.gz)
  endforeach()
  add_custom_target(objstore_package_docs ALL DEPENDS ${OBJSTORE_DOC_FILES})

  file(READ ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides OBJSTORE_OVERRIDES)
  file(READ ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides.library OBJSTORE_LIBRARY_OVERRIDES)
  foreach(component IN LISTS OBJSTORE_DEB_COMPONENTS)
    string(TOUPPER ${component} upper)
    set(package ${OBJSTORE_DEB_${upper}})
    install(FILES packaging/copyright ${OBJSTORE_DOC_FILES}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    set(overrides "${OBJSTORE_OVERRIDES}")
    if(component MATCHES "^(host|runtime)$")
      string(APPEND overrides "${OBJSTORE_LIBRARY_OVERRIDES}")
    endif()
    file(CONFIGURE OUTPUT ${OBJSTORE_DEB_BUILD_DIR}/lintian/${package} CONTENT "${overrides}")
    install(FILES ${OBJSTORE_DEB_BUILD_DIR}/lintian/${package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  endforeach()
endif()

set(CPACK_PACKAGE_NAME objstore-utils)
set(CPACK_PACKAGE_VENDOR "objstore")
set(CPACK_PACKAGE_CONTACT "objstore developers <dev@objstore.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
# Installed with DESTDIR, so that files written when installing (the .pc
# file) see the final prefix rather than CPack's staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackChecks.cmake)
set(CPACK_OBJSTORE_CHANGELOG_VERSION ${OBJSTORE_DEB_CHANGELOG_VERSION})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${OBJSTORE_DEB_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${OBJSTORE_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE objstore-utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies on the C and C++ runtimes, with their versions, come from the
# binaries (dpkg-shlibdeps); the libraries of this project, which are not
# installed yet when packaging, from the component dependencies below, at
# exactly this version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# shlibs: a program built against this release needs at least this release.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME ${OBJSTORE_DEB_HOST})
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_HOST_DESCRIPTION "host platform services for the object-store utility library
The log writer, lock classes, error object, configuration store, performance
counter engine, media-manager client and socket classes that
libobjstore_utils calls, as one shared library.
.
This package contains the shared library.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${OBJSTORE_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DEPENDS host)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "utility library of the object-store file-system service
A shared library loaded into the processes of the object-store file-system
service of a backup product. It offers:
 - a two-key, byte-budgeted LRU memory cache of caller-owned elements;
 - helpers for paths, directories, file and volume sizes, random GUIDs,
   configuration lookups and host probes;
 - the catalogue of 49 performance counters and their timing scopes;
 - a Base64 codec with AVX2 and AVX-512 code paths chosen at run time.
.
This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${OBJSTORE_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime host)
# The public headers include Boost's; programs that only run need no Boost.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev (>= 1.74)")
set(CPACK_DEBIAN_DEV_DESCRIPTION "utility library of the object-store file-system service - development files
The headers (in /usr/include/objstore_utils), the links to the shared
libraries, the CMake package (find_package(objstore_utils), targets
objstore::utils and objstore::host) and the pkg-config file (objstore_utils)
for building programs against libobjstore_utils.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${OBJSTORE_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime host)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool over the object-store utility library
osutil gives operators the library's operations: GUIDs, streaming Base64,
path and token helpers, directory creation and emptying, file and volume
sizes, the configuration store, the host probes, replays of access traces
through the LRU cache with miss-ratio curves, and the performance counters.")

# Library packages activate the dynamic linker's cache trigger, so that the
# libraries are found as soon as dpkg has unpacked them.
foreach(component HOST RUNTIME)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endforeach()

include(CPack)
