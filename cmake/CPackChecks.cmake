# Read by cpack before it makes a package: refuses what would be a broken
# Debian package, with the reason, instead of writing it.
if(CPACK_GENERATOR STREQUAL "DEB")
  # The multiarch library folder (lib/x86_64-linux-gnu) is chosen when the
  # tree is configured, from its prefix.
  if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "Debian packages install under /usr, but this build tree was configured "
      "for ${CPACK_PACKAGING_INSTALL_PREFIX}. Configure a tree with -DCMAKE_INSTALL_PREFIX=/usr, "
      "or run tools/make-debs.sh, which does.")
  endif()
  if(NOT CPACK_OBJSTORE_CHANGELOG_VERSION STREQUAL CPACK_PACKAGE_VERSION)
    message(FATAL_ERROR "packaging/changelog.Debian's latest entry is for "
      "${CPACK_OBJSTORE_CHANGELOG_VERSION}, but this is release ${CPACK_PACKAGE_VERSION}: "
      "add an entry for it.")
  endif()
endif()
