# --help and --version of the programs, the manual pages (mandoc lint), and
# cmake --install into a temporary prefix.  Runs the programs of build/bin.
project_test(packaging_test SOURCES packaging_test.cc DEPS corvo_state wenlo_lib)
target_compile_definitions(packaging_test PRIVATE
  TEST_BUILD_DIR="${CMAKE_BINARY_DIR}"
  CMAKE_COMMAND_PATH="${CMAKE_COMMAND}"
  PROJECT_VERSION_TEXT="${PROJECT_VERSION}")
foreach(prog corvo wenlo corvo-stat probe corvo-shell)
  if(TARGET ${prog})
    add_dependencies(packaging_test ${prog})
  endif()
endforeach()
