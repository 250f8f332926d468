# The console finds its resources folder next to its executable. The build
# mirrors resources/ there at every build, with two exceptions:
# - the server's local.ini is copied only once, because the running console
#   appends its data section to it and the server writes configuration changes
#   (the administrator password) into it: a rebuild must not undo them;
# - the server's node_modules is linked, not copied.
set(TREVOK_RESOURCES_DIR ${CMAKE_BINARY_DIR}/bin/resources)
add_custom_target(trevok_resources ALL
  COMMAND ${CMAKE_COMMAND}
    -DSRC=${CMAKE_SOURCE_DIR}/resources
    -DDST=${TREVOK_RESOURCES_DIR}
    -P ${CMAKE_SOURCE_DIR}/cmake/CopyResources.cmake
  COMMENT "Mirroring resources next to the executable"
  VERBATIM)
