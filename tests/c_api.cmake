# SPDX-License-Identifier: Apache-2.0
# The public header compiled by a C compiler in strict C11 and linked
# against the shared library, as an application sees both.
# Included from tests/CMakeLists.txt: include(${CMAKE_CURRENT_LIST_DIR}/c_api.cmake)
add_executable(c_api_test ${CMAKE_CURRENT_LIST_DIR}/c_api_test.c)
set_target_properties(c_api_test PROPERTIES
  C_STANDARD 11
  C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF)
target_compile_options(c_api_test PRIVATE -Wall -Wextra -Werror -pedantic)
# Only include/ comes with the cpic target, so the program sees nothing
# but the installed header.
target_link_libraries(c_api_test PRIVATE cpic)
add_test(NAME ${CPIC_ABI}.c_api_compiles COMMAND c_api_test)
set_tests_properties(${CPIC_ABI}.c_api_compiles PROPERTIES
  ENVIRONMENT "ZORVEL_ENGINE=scripted;ZORVEL_LOG_FILE=${CMAKE_CURRENT_BINARY_DIR}/c_api_test.log;ZORVEL_TRACE_FILE=${CMAKE_CURRENT_BINARY_DIR}/c_api_test.trc")
