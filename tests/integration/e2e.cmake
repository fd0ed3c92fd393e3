# End to end: duzevod-host loading the real module against the bus simulator on a pseudo-terminal, from
# the operator's first search through polling, silences, write commands and unloading. Linux only.
if(WIN32 OR NOT TARGET duzevod-sim)
  return()
endif()

set(E2E_IT ${CMAKE_CURRENT_LIST_DIR})
add_executable(duzevod_e2e_tests
  ${E2E_IT}/e2e_harness.cpp ${E2E_IT}/e2e_startup_test.cpp ${E2E_IT}/e2e_polling_test.cpp
  ${E2E_IT}/e2e_port_loss_test.cpp ${E2E_IT}/e2e_link_statistics_test.cpp
  ${E2E_IT}/link_harness.cpp)
target_include_directories(duzevod_e2e_tests PRIVATE ${E2E_IT})
target_link_libraries(duzevod_e2e_tests PRIVATE duzevod_platform duz_tools_common duz_version
                      nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(duzevod_e2e_tests PRIVATE
  DUZ_SIM="$<TARGET_FILE:duzevod-sim>"
  DUZ_HOST="$<TARGET_FILE:duzevod-host>"
  DUZ_MODULE="$<TARGET_FILE:duzevod>"
  DUZ_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus")
add_dependencies(duzevod_e2e_tests duzevod-sim duzevod-host duzevod tessarin)
# Every test has its own pseudo-terminal and directory, so CTest may run them side by side.
gtest_discover_tests(duzevod_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e TIMEOUT 90)
