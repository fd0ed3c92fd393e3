# The fault soak, short: about a minute of random faults on a full simulated bus, checked all the time
# (tools/soak). Once per CI run, so only in the build without sanitizers; scripts/soak.sh runs it long.
if(WIN32 OR DUZ_SANITIZE OR NOT TARGET duzevod-soak)
  return()
endif()
add_test(NAME soak COMMAND duzevod-soak --seconds 45)
set_tests_properties(soak PROPERTIES LABELS soak TIMEOUT 400)
