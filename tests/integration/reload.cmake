# Load and unload endurance: libduzevod.so loaded, polling the simulator and unloaded again and again
# in one process. CI runs 150 cycles; scripts/reload.sh runs the full 500.
if(WIN32 OR NOT TARGET duzevod-sim)
  return()
endif()

add_executable(duzevod_reload_endurance ${CMAKE_CURRENT_LIST_DIR}/reload_endurance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_harness.cpp)
target_include_directories(duzevod_reload_endurance PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(duzevod_reload_endurance PRIVATE duzevod_platform tessarin duz_tools_common)
target_compile_definitions(duzevod_reload_endurance PRIVATE
  DUZ_SIM="$<TARGET_FILE:duzevod-sim>"
  DUZ_MODULE="$<TARGET_FILE:duzevod>"
  DUZ_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus")
add_dependencies(duzevod_reload_endurance duzevod-sim duzevod tessarin)
add_test(NAME reload_endurance COMMAND duzevod_reload_endurance --cycles 150)
set_tests_properties(reload_endurance PROPERTIES LABELS integration TIMEOUT 110)
