# Every dependency is checked when the build is configured, and a missing one
# says what needs it, which Debian package brings it and how to do without
# it: a compile error deep in a source file says none of that.

# objstore_missing(WHAT NEEDED_BY DEBIAN_PACKAGES [HOW_TO_SKIP])
function(objstore_missing what needed_by packages)
  set(text "${what} (needed by ${needed_by}) was not found.\n")
  string(APPEND text "On Debian or Ubuntu: apt-get install ${packages}\n")
  string(APPEND text "Elsewhere: point CMAKE_PREFIX_PATH at its installation.")
  if(ARGC GREATER 3)
    string(APPEND text "\nTo build without it: ${ARGV3}")
  endif()
  message(FATAL_ERROR "${text}")
endfunction()

# objstore_require_package(PACKAGE VERSION NEEDED_BY DEBIAN_PACKAGES HOW_TO_SKIP)
# find_package(PACKAGE VERSION) that fails with the message above.
macro(objstore_require_package package version needed_by debian_packages how_to_skip)
  find_package(${package} ${version} QUIET)
  if(NOT ${package}_FOUND)
    objstore_missing("${package} ${version} or later" "${needed_by}" "${debian_packages}"
                     "${how_to_skip}")
  endif()
endmacro()

# The library's public headers use Boost's smart pointers, tokenizer, UUID
# and random-number headers (all in libboost-dev); no compiled Boost library
# is linked.
macro(objstore_require_boost)
  find_package(Boost 1.74 QUIET)
  if(NOT Boost_FOUND)
    objstore_missing("the Boost headers 1.74 or later" "the library" "libboost-dev")
  endif()
endmacro()

# The cache's strong hashes compile xxHash in (XXH_INLINE_ALL); XXH3 is
# stable from 0.8.0 on. Sets OBJSTORE_XXHASH_INCLUDE_DIR.
function(objstore_require_xxhash)
  find_path(OBJSTORE_XXHASH_INCLUDE_DIR xxhash.h DOC "Folder of xxhash.h (xxHash 0.8 or later)")
  if(NOT EXISTS "${OBJSTORE_XXHASH_INCLUDE_DIR}/xxhash.h")
    objstore_missing("xxhash.h (xxHash 0.8 or later)" "the cache" "libxxhash-dev")
  endif()
  file(STRINGS "${OBJSTORE_XXHASH_INCLUDE_DIR}/xxhash.h" version_lines
       REGEX "^#[ \t]*define[ \t]+XXH_VERSION_(MAJOR|MINOR)[ \t]+[0-9]+")
  set(major 0)
  set(minor 0)
  foreach(line IN LISTS version_lines)
    if(line MATCHES "XXH_VERSION_(MAJOR|MINOR)[ \t]+([0-9]+)")
      string(TOLOWER "${CMAKE_MATCH_1}" part)
      set(${part} ${CMAKE_MATCH_2})
    endif()
  endforeach()
  if("${major}.${minor}" VERSION_LESS 0.8)
    objstore_missing("xxHash 0.8 or later (found ${major}.${minor} in ${OBJSTORE_XXHASH_INCLUDE_DIR})"
                     "the cache" "libxxhash-dev")
  endif()
endfunction()

# objstore_require_program(VARIABLE PROGRAM NEEDED_BY DEBIAN_PACKAGE HOW_TO_SKIP)
function(objstore_require_program variable program needed_by debian_package how_to_skip)
  find_program(${variable} ${program})
  if(NOT ${variable})
    objstore_missing("the program ${program}" "${needed_by}" "${debian_package}" "${how_to_skip}")
  endif()
endfunction()
