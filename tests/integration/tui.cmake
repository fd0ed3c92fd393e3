# The terminal dialog for real: a driver runs the operator's dialog the way the start-up does, inside a
# tmux pane, and the tests send it keys and read the screen. Skipped when tmux is not installed.
if(NOT WIN32)
  add_executable(tui_driver ${CMAKE_CURRENT_LIST_DIR}/tui_driver.cpp)
  target_link_libraries(tui_driver PRIVATE duzevod_platform)
endif()
