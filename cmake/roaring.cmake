# CRoaring, as the target roaring::roaring: from its CMake package when one is
# installed, else from its header and library. -DROARING_ROOT=<prefix> points
# at another installation (its CMake package, or <prefix>/include/roaring/
# roaring.h and <prefix>/lib/libroaring.so) and then only that one is used:
# silently building against the system's copy instead would defeat the point.
set(ROARING_ROOT "" CACHE PATH "Prefix of the CRoaring installation to use instead of the system's")

# Results found before ROARING_ROOT was set or changed must not stick.
if(NOT "${ROARING_ROOT}" STREQUAL "${_TARNWICK_ROARING_ROOT_SEARCHED}")
  unset(roaring_DIR CACHE)
  unset(ROARING_INCLUDE_DIR CACHE)
  unset(ROARING_LIBRARY CACHE)
  set(_TARNWICK_ROARING_ROOT_SEARCHED "${ROARING_ROOT}" CACHE INTERNAL "")
endif()

set(_roaring_only_root "")
if(ROARING_ROOT)
  set(_roaring_only_root PATHS "${ROARING_ROOT}" NO_DEFAULT_PATH)
endif()
find_package(roaring CONFIG QUIET ${_roaring_only_root})
if(NOT TARGET roaring::roaring)
  find_path(ROARING_INCLUDE_DIR roaring/roaring.h PATH_SUFFIXES include ${_roaring_only_root})
  find_library(ROARING_LIBRARY roaring PATH_SUFFIXES lib lib64 ${_roaring_only_root})
  if(NOT ROARING_INCLUDE_DIR OR NOT ROARING_LIBRARY)
    set(_where "")
    if(ROARING_ROOT)
      set(_where " in ROARING_ROOT=${ROARING_ROOT}")
    endif()
    message(FATAL_ERROR
      "CRoaring was not found${_where}: install libroaring-dev (Debian/Ubuntu) "
      "or CRoaring's CMake package, or point -DROARING_ROOT=<prefix> at an "
      "installation with include/roaring/roaring.h and lib/libroaring.so.")
  endif()
  add_library(roaring::roaring UNKNOWN IMPORTED)
  set_target_properties(roaring::roaring PROPERTIES
    IMPORTED_LOCATION "${ROARING_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ROARING_INCLUDE_DIR}")
endif()
