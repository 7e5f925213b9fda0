# corvo-shell: its decisions without the system, and end to end in network
# namespaces of the test's own (root only; skipped otherwise).
project_test(corvo_shell_unit_test SOURCES corvo_shell_unit_test.cc DEPS corvo_shell_lib)
if(TARGET corvo-shell)
  project_test(corvo_shell_test SOURCES corvo_shell_test.cc DEPS corvo_shell_lib LABELS e2e)
  add_dependencies(corvo_shell_test corvo-shell corvo)
endif()
