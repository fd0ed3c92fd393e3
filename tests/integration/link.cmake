# The serial link over real pseudo-terminals: our POSIX port and Transaction against the bus simulator,
# mbpoll and a libmodbus slave. Linux only.
if(WIN32 OR NOT TARGET duzevod-sim)
  return()
endif()

find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(MODBUS IMPORTED_TARGET libmodbus)
endif()
find_program(MBPOLL_PROGRAM mbpoll)

set(LINK_IT ${CMAKE_CURRENT_LIST_DIR})
add_executable(duzevod_link_integration_tests
  ${LINK_IT}/link_harness.cpp ${LINK_IT}/link_serial_test.cpp ${LINK_IT}/link_peers_test.cpp
  ${LINK_IT}/sim_cli_test.cpp)
target_include_directories(duzevod_link_integration_tests PRIVATE ${LINK_IT})
target_link_libraries(duzevod_link_integration_tests PRIVATE duzevod_platform duz_tools_common GTest::gtest_main)
target_compile_definitions(duzevod_link_integration_tests PRIVATE
  DUZ_SIM="$<TARGET_FILE:duzevod-sim>"
  DUZ_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus"
  DUZ_MBPOLL="${MBPOLL_PROGRAM}")
if(MODBUS_FOUND)
  add_executable(link_modbus_slave ${LINK_IT}/link_modbus_slave.cpp)
  target_link_libraries(link_modbus_slave PRIVATE PkgConfig::MODBUS duz_warnings)
  target_compile_definitions(duzevod_link_integration_tests PRIVATE
    DUZ_MODBUS_SLAVE="$<TARGET_FILE:link_modbus_slave>")
endif()
add_dependencies(duzevod_link_integration_tests duzevod-sim)
gtest_discover_tests(duzevod_link_integration_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS integration TIMEOUT 60)
