# The terminal dialog for real: a driver runs the operator's dialog the way the start-up does, inside a
# tmux pane, and the tests send it keys and read the screen; the real module is driven the same way in
# duzevod-host against the bus simulator. The tests skip themselves when tmux is not installed.
if(WIN32)
  return()
endif()
find_program(TMUX_PROGRAM tmux)
if(NOT TMUX_PROGRAM)
  set(TMUX_PROGRAM "")
endif()

add_executable(tui_driver ${CMAKE_CURRENT_LIST_DIR}/tui_driver.cpp)
target_link_libraries(tui_driver PRIVATE duzevod_presentation duzevod_platform duz_warnings)

add_executable(duzevod_tui_tests ${CMAKE_CURRENT_LIST_DIR}/tui_test.cpp)
target_link_libraries(duzevod_tui_tests PRIVATE duz_warnings duz_tools_common GTest::gtest_main)
target_compile_definitions(duzevod_tui_tests PRIVATE
  TUI_TMUX="${TMUX_PROGRAM}"
  TUI_DRIVER="$<TARGET_FILE:tui_driver>"
  TUI_HOST="$<TARGET_FILE:duzevod-host>"
  TUI_MODULE="$<TARGET_FILE:duzevod>"
  TUI_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus")
add_dependencies(duzevod_tui_tests tui_driver duzevod-host duzevod)
if(TARGET duzevod-sim)
  target_compile_definitions(duzevod_tui_tests PRIVATE TUI_SIM="$<TARGET_FILE:duzevod-sim>")
  add_dependencies(duzevod_tui_tests duzevod-sim)
else()
  target_compile_definitions(duzevod_tui_tests PRIVATE TUI_SIM="")
endif()
gtest_discover_tests(duzevod_tui_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS integration TIMEOUT 180)
