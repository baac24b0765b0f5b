# The host's "svc" command (embedded service manager administration) as a library of its own:
# include(svc.cmake) from the host's CMakeLists.txt and link cairnsvc; the entry is CairnSvcMain
# (SvcCommand.h). Guarded so the tests may include it too.
if(NOT TARGET cairnsvc)
  add_library(cairnsvc STATIC ${CMAKE_CURRENT_LIST_DIR}/SvcCommand.cpp)
  target_include_directories(cairnsvc PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(cairnsvc PUBLIC tern)
endif()
