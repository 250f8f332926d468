target_sources(trevok_console PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ProjectModel.h
  ${CMAKE_CURRENT_LIST_DIR}/ProjectListFlows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MembershipFlows.cpp
)
