# The real library in the real loader: duzevod-host loading libduzevod.so, the exports called from a
# program that loads the library itself, and the host-library stand-in those values go through.
add_executable(host_integration_tests ${CMAKE_CURRENT_LIST_DIR}/host_test.cpp)
target_include_directories(host_integration_tests PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(host_integration_tests PRIVATE duz_warnings tessarin Threads::Threads nlohmann_json::nlohmann_json GTest::gtest_main
                      ${CMAKE_DL_LIBS})
target_compile_definitions(host_integration_tests PRIVATE
  DUZEVOD_HOST="$<TARGET_FILE:duzevod-host>" DUZEVOD_MODULE="$<TARGET_FILE:duzevod>"
  TESSARIN_LIBRARY="$<TARGET_FILE:tessarin>")
add_dependencies(host_integration_tests duzevod-host duzevod tessarin)
gtest_discover_tests(host_integration_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS integration TIMEOUT 60)
