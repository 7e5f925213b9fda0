# Faults from outside while the programs run: a port's interface going down,
# a client killed while writing, a damaged session file, a capture cut
# short, a flood far above the emulated rate.  They start the real programs,
# so they run alone (e2e); the interface test needs root and skips otherwise.
project_test(fault_test SOURCES fault_test.cc DEPS corvo_state models netport common LABELS e2e)
foreach(prog corvo wenlo probe)
  if(TARGET ${prog})
    add_dependencies(fault_test ${prog})
  endif()
endforeach()
# The same faults where they need no traffic: quick, run with the unit tests.
project_test(fault_unit_test SOURCES fault_unit_test.cc DEPS corvo_state models common)
foreach(prog corvo corvo-stat)
  if(TARGET ${prog})
    add_dependencies(fault_unit_test ${prog})
  endif()
endforeach()
# Faults the fuzz targets found (fuzz/), as unit tests.
project_test(fuzz_regress_test SOURCES fuzz_regress_test.cc DEPS wenlo_lib)
