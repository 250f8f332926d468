target_sources(trevok_console PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/UserModel.h ${CMAKE_CURRENT_LIST_DIR}/UserModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserNames.h ${CMAKE_CURRENT_LIST_DIR}/UserNames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserArrayController.h ${CMAKE_CURRENT_LIST_DIR}/UserArrayController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserSelectionTableView.h ${CMAKE_CURRENT_LIST_DIR}/UserSelectionTableView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserFlows.cpp
)
