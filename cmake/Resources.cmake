# The console finds its resources folder next to its executable. The build
# mirrors resources/ there at every build, read-only as an installation's
# (the console writes the server's configuration into a per-person copy),
# except that the server's node_modules is linked, not copied.
set(TREVOK_RESOURCES_DIR ${CMAKE_BINARY_DIR}/bin/resources)
add_custom_target(trevok_resources ALL
  COMMAND ${CMAKE_COMMAND}
    -DSRC=${CMAKE_SOURCE_DIR}/resources
    -DDST=${TREVOK_RESOURCES_DIR}
    -P ${CMAKE_SOURCE_DIR}/cmake/CopyResources.cmake
  COMMENT "Mirroring resources next to the executable"
  VERBATIM)
