# The product around the module: the one-command demonstration, the configuration tool, the frame
# trace and the simulator's drifting values, run as people use them. Linux only.
if(WIN32 OR NOT TARGET duzevod-sim)
  return()
endif()

set(PRODUCT_IT ${CMAKE_CURRENT_LIST_DIR})
add_executable(duzevod_product_tests ${PRODUCT_IT}/product_test.cpp ${PRODUCT_IT}/link_harness.cpp)
target_include_directories(duzevod_product_tests PRIVATE ${PRODUCT_IT})
target_link_libraries(duzevod_product_tests PRIVATE duzevod_platform duz_tools_common nlohmann_json::nlohmann_json
                      GTest::gtest_main)
target_compile_definitions(duzevod_product_tests PRIVATE
  DUZ_SIM="$<TARGET_FILE:duzevod-sim>"
  DUZ_HOST="$<TARGET_FILE:duzevod-host>"
  DUZ_MODULE="$<TARGET_FILE:duzevod>"
  DUZ_CONF="$<TARGET_FILE:duzevod-conf>"
  DUZ_VERSION="${PROJECT_VERSION}"
  DUZ_BUILD_DIR="${CMAKE_BINARY_DIR}"
  DUZ_DEMO="${PROJECT_SOURCE_DIR}/scripts/demo.sh"
  DUZ_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus")
add_dependencies(duzevod_product_tests duzevod-sim duzevod-host duzevod duzevod-conf tessarin)
gtest_discover_tests(duzevod_product_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS integration TIMEOUT 120)
