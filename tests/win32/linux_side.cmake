# The far end of the reply-timing table for the Windows port under Wine: a paced writer on a
# pseudo-terminal that judges the Windows reads (tests/win32 runs it).
add_executable(reply_timing_line ${CMAKE_CURRENT_LIST_DIR}/reply_timing_line.cpp)
target_include_directories(reply_timing_line PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(reply_timing_line PRIVATE duzevod_core duz_warnings)
