# The MQTT gateway end to end: duzevod-mqtt loading the real module on the bus simulator's line, with a
# private mosquitto on 127.0.0.1 and mosquitto_sub / mosquitto_pub as the clients. Linux only, and only
# where the gateway is built.
if(WIN32 OR NOT TARGET duzevod-mqtt OR NOT TARGET duzevod-sim)
  return()
endif()

set(MQTT_IT ${CMAKE_CURRENT_LIST_DIR})
# The tests decode Sparkplug B with the schema compiled for Python, not with the gateway's own code.
find_package(Protobuf REQUIRED)
set(SPARKPLUG_PY ${CMAKE_CURRENT_BINARY_DIR}/sparkplug_py)
file(MAKE_DIRECTORY ${SPARKPLUG_PY})
add_custom_command(
  OUTPUT ${SPARKPLUG_PY}/sparkplug_b_pb2.py
  COMMAND ${Protobuf_PROTOC_EXECUTABLE} --python_out=${SPARKPLUG_PY} -I ${PROJECT_SOURCE_DIR}/tools/common
          ${PROJECT_SOURCE_DIR}/tools/common/sparkplug_b.proto
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/common/sparkplug_b.proto
  COMMENT "protoc: the Sparkplug B payload for the tests' Python decoder")
add_custom_target(duz_sparkplug_py DEPENDS ${SPARKPLUG_PY}/sparkplug_b_pb2.py)

add_executable(duzevod_mqtt_tests ${MQTT_IT}/mqtt_test.cpp ${MQTT_IT}/mqtt_sparkplug_test.cpp
                                  ${MQTT_IT}/mqtt_harness.cpp ${MQTT_IT}/e2e_harness.cpp ${MQTT_IT}/link_harness.cpp)
target_include_directories(duzevod_mqtt_tests PRIVATE ${MQTT_IT})
target_link_libraries(duzevod_mqtt_tests PRIVATE duzevod_platform duz_tools_common nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(duzevod_mqtt_tests PRIVATE
  DUZ_SIM="$<TARGET_FILE:duzevod-sim>"
  DUZ_HOST="$<TARGET_FILE:duzevod-host>"
  DUZ_MODULE="$<TARGET_FILE:duzevod>"
  DUZ_MQTT="$<TARGET_FILE:duzevod-mqtt>"
  DUZ_BUILD_DIR="${CMAKE_BINARY_DIR}"
  DUZ_SAMPLE_BUS="${PROJECT_SOURCE_DIR}/tools/sim/sample.bus"
  DUZ_SPARKPLUG_PY="${SPARKPLUG_PY}"
  DUZ_SPARKPLUG_CLIENT="${MQTT_IT}/sparkplug_client.py")
# The package holds the OPC UA server where npm is found (packaging/CMakeLists.txt).
find_program(DUZ_NPM npm)
if(DUZ_NPM)
  target_compile_definitions(duzevod_mqtt_tests PRIVATE DUZ_PACKAGE_HAS_OPCUA)
endif()
add_dependencies(duzevod_mqtt_tests duzevod-sim duzevod-host duzevod duzevod-mqtt duzevod-conf tessarin duz_sparkplug_py)
# Each test has its own broker port, pseudo-terminal and directory, so CTest may run them side by side.
gtest_discover_tests(duzevod_mqtt_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e TIMEOUT 120)

# The gateway's parts without a broker.
add_executable(duzevod_mqtt_unit_tests ${PROJECT_SOURCE_DIR}/tests/unit/mqtt/gateway_parts_test.cpp
                                       ${PROJECT_SOURCE_DIR}/tests/unit/mqtt/sparkplug_test.cpp)
target_link_libraries(duzevod_mqtt_unit_tests PRIVATE duz_mqtt duz_sparkplug_proto GTest::gtest_main)
gtest_discover_tests(duzevod_mqtt_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
