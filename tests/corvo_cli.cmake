# corvo's command line and start-up through the program, and end to end in
# network namespaces (root only; skipped otherwise).
project_test(corvo_cli_test SOURCES corvo_cli_test.cc DEPS corvo_state GTest::gmock)
if(TARGET corvo)
  add_dependencies(corvo_cli_test corvo)
endif()
if(TARGET probe)
  add_dependencies(corvo_cli_test probe)
endif()
