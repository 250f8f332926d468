# trevok_add_test(NAME <name> SOURCES ... LIBS ... [NEEDS_SERVER])
#
# A Qt Test executable registered with CTest. Suites that talk to the bundled
# server share one resource lock, since it always listens on port 5984.
# Every suite runs with its own settings and data folders so that no test
# touches a person's configuration: trevok_testhome sets them before the
# suite starts, to the folder CTest names here or, when the suite is run by
# hand, to a temporary folder.
function(trevok_add_test)
  cmake_parse_arguments(T "NEEDS_SERVER" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} trevok_testhome Qt6::Test trevok_warnings)
  if(T_NEEDS_SERVER)
    target_link_libraries(${T_NAME} PRIVATE trevok_testharness)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(env
    "QT_QPA_PLATFORM=offscreen"
    "TREVOK_TEST_HOME=${CMAKE_BINARY_DIR}/testhome/${T_NAME}"
    "XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/testhome/${T_NAME}/config"
    "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/testhome/${T_NAME}/data"
    "TREVOK_RESOURCES=${TREVOK_RESOURCES_DIR}"
    "TREVOK_E2E_DIR=${CMAKE_SOURCE_DIR}/tests/e2e")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${T_TIMEOUT})
  if(T_NEEDS_SERVER)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK couchdb5984)
  endif()
endfunction()
