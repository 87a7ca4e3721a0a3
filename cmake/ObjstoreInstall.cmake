# Install rules, split into components along the lines of the Debian packages
# (debian/*.install shares the installed tree out the same way):
#   host     libobjstore_host.so.N           (libobjstore-hostN)
#   runtime  libobjstore_utils.so.N          (libobjstore-utilsN)
#   dev      headers, .so links or archives, CMake package, pkg-config file
#            (libobjstore-utils-dev)
#   tools    osutil, its man page and bash completion (osutil; tools/CMakeLists.txt)
# A plain `cmake --install` installs them all.
include(CMakePackageConfigHelpers)
set(OBJSTORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/objstore_utils)

install(TARGETS objstore_host EXPORT objstore_utils_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT host NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS objstore_utils EXPORT objstore_utils_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

# Headers keep their folders under one of the project's own, which the CMake
# package and the .pc file put on the include path: #include "cache/mem_cache.h".
install(DIRECTORY cache objstore perf codec host
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/objstore_utils COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
  PATTERN "*_internal.h" EXCLUDE)  # texts and entry points shared with the tests only

# CMake package: find_package(objstore_utils) -> objstore::utils, objstore::host.
install(EXPORT objstore_utils_targets NAMESPACE objstore::
  FILE objstore_utilsTargets.cmake DESTINATION ${OBJSTORE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/objstore_utilsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/objstore_utilsConfig.cmake INSTALL_DESTINATION ${OBJSTORE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/objstore_utilsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/objstore_utilsConfig.cmake
  ${PROJECT_BINARY_DIR}/objstore_utilsConfigVersion.cmake
  DESTINATION ${OBJSTORE_CMAKE_DIR} COMPONENT dev)

# The .pc file names its prefix literally, as pkg-config users and
# cross-building tools expect. The prefix is the one of the install itself
# (`cmake --install --prefix` may differ from the configured one), so the
# file is written when installing, then installed like any other.
set(OBJSTORE_PC_FILE ${PROJECT_BINARY_DIR}/pkgconfig/objstore_utils.pc)
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(OBJSTORE_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(OBJSTORE_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/objstore_utils.pc.in\" \"${OBJSTORE_PC_FILE}\" @ONLY)"
  COMPONENT dev)
install(FILES ${OBJSTORE_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
