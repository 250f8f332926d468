target_sources(trevok_console PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LiveList.h ${CMAKE_CURRENT_LIST_DIR}/LiveList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LiveListTableModel.h ${CMAKE_CURRENT_LIST_DIR}/LiveListTableModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserQuery.h ${CMAKE_CURRENT_LIST_DIR}/UserQuery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProjectQuery.h ${CMAKE_CURRENT_LIST_DIR}/ProjectQuery.cpp
)
