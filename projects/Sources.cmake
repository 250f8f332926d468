target_sources(trevok_console PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ArchiveFlows.cpp ${CMAKE_CURRENT_LIST_DIR}/ArchiveHooks.h
  ${CMAKE_CURRENT_LIST_DIR}/ArchiveRules.h ${CMAKE_CURRENT_LIST_DIR}/ArchiveRules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeletionFlows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DocumentWrites.h ${CMAKE_CURRENT_LIST_DIR}/DocumentWrites.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MembersListModel.h ${CMAKE_CURRENT_LIST_DIR}/MembersListModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MembershipFlows.cpp ${CMAKE_CURRENT_LIST_DIR}/MembershipHooks.h
  ${CMAKE_CURRENT_LIST_DIR}/ProjectArrayController.h ${CMAKE_CURRENT_LIST_DIR}/ProjectArrayController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectFlows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectListFlows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectModel.h ${CMAKE_CURRENT_LIST_DIR}/ProjectModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectNames.h ${CMAKE_CURRENT_LIST_DIR}/ProjectNames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectsTableCellView.h ${CMAKE_CURRENT_LIST_DIR}/ProjectsTableCellView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ReplicationObserver.cpp
)
