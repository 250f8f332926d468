target_sources(trevok_console PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/UserModel.h
  ${CMAKE_CURRENT_LIST_DIR}/UserFlows.cpp
)
