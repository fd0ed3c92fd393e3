# The product around the module: the configuration tool's unit tests need its library, which lives
# with the tool.
target_link_libraries(duzevod_unit_tests PRIVATE duzevod_conf)
