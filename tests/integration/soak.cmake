# The simulator's sick line (noise, loss and return, its record), which the fault soak builds on.
if(WIN32 OR NOT TARGET duzevod-sim)
  return()
endif()
set(SOAK_IT ${CMAKE_CURRENT_LIST_DIR})
add_executable(duzevod_sim_line_tests ${SOAK_IT}/sim_line_test.cpp ${SOAK_IT}/link_harness.cpp)
target_include_directories(duzevod_sim_line_tests PRIVATE ${SOAK_IT})
target_link_libraries(duzevod_sim_line_tests PRIVATE duzevod_platform duz_tools_common GTest::gtest_main)
target_compile_definitions(duzevod_sim_line_tests PRIVATE DUZ_SIM="$<TARGET_FILE:duzevod-sim>")
add_dependencies(duzevod_sim_line_tests duzevod-sim)
gtest_discover_tests(duzevod_sim_line_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS integration TIMEOUT 60)

# The fault soak, short: about a minute of random faults on a full simulated bus, checked all the time
# (tools/soak). Once per CI run, so only in the build without sanitizers; scripts/soak.sh runs it long.
if(DUZ_SANITIZE OR NOT TARGET duzevod-soak)
  return()
endif()
add_test(NAME soak COMMAND duzevod-soak --seconds 45)
# COST: a fresh build has no timings yet; the longest tests start first, beside the short ones.
set_tests_properties(soak PROPERTIES LABELS soak TIMEOUT 400 COST 50)
