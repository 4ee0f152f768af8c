# Tests of what is built around the library: the command-line program, the
# Python module and the installed package. Included by tests/CMakeLists.txt.

find_package(Python3 COMPONENTS Interpreter QUIET)

# In a sanitizer build the library needs the sanitizer runtime loaded first,
# which an uninstrumented interpreter does not do by itself.
set(_sheetlay_py_env PYTHONDONTWRITEBYTECODE=1)
if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize=[^ ]*address")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
    OUTPUT_VARIABLE _sheetlay_asan OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
    OUTPUT_VARIABLE _sheetlay_cxxrt OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${_sheetlay_asan}" AND IS_ABSOLUTE "${_sheetlay_cxxrt}")
    # The C++ runtime is preloaded too: the sanitizer looks up the real
    # __cxa_throw when it starts, before the library brings libstdc++ in.
    # The interpreter's own allocations are not this project's leaks.
    list(APPEND _sheetlay_py_env "LD_PRELOAD=${_sheetlay_asan}:${_sheetlay_cxxrt}"
      ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0)
  endif()
endif()

if(Python3_Interpreter_FOUND)
  # The package from the source tree with the build's library; the tests of
  # what only an installed package has (the bundled library and program) skip
  # here and run in the Python CI step against a pip installation.
  add_test(NAME python_binding
    COMMAND ${CMAKE_COMMAND} -E env ${_sheetlay_py_env}
      PYTHONPATH=${PROJECT_SOURCE_DIR}/python
      SHEETLAY_LIBRARY=$<TARGET_FILE:sheetlay>
      ${Python3_EXECUTABLE} -m unittest -v test_sheetlay test_inputs test_package
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/python/tests)
  set_tests_properties(python_binding PROPERTIES TIMEOUT 300)

  if(TARGET sheetlay_cli AND TARGET make_example)
    # The test also loads the library through ctypes to compare bytes.
    add_test(NAME cli
      COMMAND ${CMAKE_COMMAND} -E env ${_sheetlay_py_env}
        SHEETLAY_LIBRARY=$<TARGET_FILE:sheetlay>
        SHEETLAY_CLI=$<TARGET_FILE:sheetlay_cli>
        SHEETLAY_MAKE_EXAMPLE=$<TARGET_FILE:make_example>
        SHEETLAY_VERSION=${PROJECT_VERSION}
        ${Python3_EXECUTABLE} -m unittest -v test_cli
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tools)
    set_tests_properties(cli PROPERTIES TIMEOUT 300)
  endif()
else()
  message(STATUS "python3 not found: the Python module and command-line tests are left out")
endif()

# Installs the build into a temporary prefix and builds consumers against it.
find_program(SHEETLAY_BASH bash)
if(SHEETLAY_BASH AND NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME install_consumer
    COMMAND ${CMAKE_COMMAND} -E env
      CC=${CMAKE_C_COMPILER}
      "CFLAGS=${CMAKE_C_FLAGS}"
      "SHEETLAY_GENERATOR=${CMAKE_GENERATOR}"
      SHEETLAY_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
      SHEETLAY_VERSION=${PROJECT_VERSION}
      ${SHEETLAY_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/install_test.sh
        ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install-test)
  set_tests_properties(install_consumer PROPERTIES TIMEOUT 600)
endif()
