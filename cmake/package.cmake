# The Python package Tarnwick: the extension Tarnwick._native beside the files
# of src/Tarnwick/. The build directory holds the same package as a wheel, so
# that PYTHONPATH=<build directory> imports what was just built; it also holds
# a minimal .dist-info, from which Tarnwick.__version__ is read as it is from
# an installed copy's metadata.
set(TARNWICK_PACKAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/Tarnwick)
set_target_properties(Tarnwick PROPERTIES
  OUTPUT_NAME _native
  LIBRARY_OUTPUT_DIRECTORY ${TARNWICK_PACKAGE_DIR})

file(GLOB TARNWICK_PACKAGE_FILES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/Tarnwick/*.py
  ${CMAKE_CURRENT_SOURCE_DIR}/src/Tarnwick/*.pyi
  ${CMAKE_CURRENT_SOURCE_DIR}/src/Tarnwick/py.typed)
foreach(file ${TARNWICK_PACKAGE_FILES})
  get_filename_component(name ${file} NAME)
  configure_file(${file} ${TARNWICK_PACKAGE_DIR}/${name} COPYONLY)
endforeach()

if(DEFINED SKBUILD_PROJECT_VERSION)
  set(TARNWICK_VERSION ${SKBUILD_PROJECT_VERSION})
else()
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml TARNWICK_VERSION_LINE REGEX "^version *= *\"")
  string(REGEX REPLACE "^version *= *\"([^\"]*)\".*" "\\1" TARNWICK_VERSION "${TARNWICK_VERSION_LINE}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pyproject.toml)
endif()
file(GLOB TARNWICK_OLD_DIST_INFO LIST_DIRECTORIES true ${CMAKE_CURRENT_BINARY_DIR}/Tarnwick-*.dist-info)
set(TARNWICK_DIST_INFO ${CMAKE_CURRENT_BINARY_DIR}/Tarnwick-${TARNWICK_VERSION}.dist-info)
list(REMOVE_ITEM TARNWICK_OLD_DIST_INFO ${TARNWICK_DIST_INFO})
if(TARNWICK_OLD_DIST_INFO)
  file(REMOVE_RECURSE ${TARNWICK_OLD_DIST_INFO})
endif()
file(CONFIGURE OUTPUT ${TARNWICK_DIST_INFO}/METADATA
  CONTENT "Metadata-Version: 2.1\nName: Tarnwick\nVersion: ${TARNWICK_VERSION}\n")

install(TARGETS Tarnwick LIBRARY DESTINATION Tarnwick)
install(FILES ${TARNWICK_PACKAGE_FILES} DESTINATION Tarnwick)
