# Installs the OPC UA server's locked packages where its sources were just installed (npm ci, without the
# linter and other development packages) and its commands in bin. Run by `cmake --install` and CPack.
if(NOT DUZ_NPM OR NOT DUZ_OPCUA_DIR)
  message(FATAL_ERROR "opcua-install.cmake: DUZ_NPM and DUZ_OPCUA_DIR must be set")
endif()
message(STATUS "Installing the OPC UA server's packages: npm ci in ${DUZ_OPCUA_DIR}")
execute_process(COMMAND "${DUZ_NPM}" ci --omit=dev --no-audit --no-fund --prefer-offline
                WORKING_DIRECTORY "${DUZ_OPCUA_DIR}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "npm ci failed in ${DUZ_OPCUA_DIR} (is the npm registry or its cache reachable?)")
endif()
file(MAKE_DIRECTORY "${DUZ_BIN_DIR}")
foreach(command duzevod-opcua duzevod-opcua-browse)
  file(CREATE_LINK "${DUZ_BIN_TO_OPCUA}/bin/${command}.js" "${DUZ_BIN_DIR}/${command}" SYMBOLIC)
endforeach()
