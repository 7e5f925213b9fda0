# corvo's command line and start-up through the program, and end to end in
# network namespaces (root only; skipped otherwise).  Both run build/bin/corvo
# and the probe.
project_test(corvo_cli_test SOURCES corvo_cli_test.cc DEPS corvo_state GTest::gmock)
project_test(corvo_e2e_test SOURCES corvo_e2e_test.cc DEPS GTest::gmock LABELS e2e)
foreach(t corvo_cli_test corvo_e2e_test)
  foreach(prog corvo probe)
    if(TARGET ${prog})
      add_dependencies(${t} ${prog})
    endif()
  endforeach()
endforeach()
