# The JSON reports of corvo, corvo-stat and wenlo from real runs over
# shared-memory links (alone: they move traffic for some seconds), and the
# plot tool on a recorded report.
project_test(report_test SOURCES report_test.cc DEPS common LABELS e2e)
foreach(prog corvo corvo-stat wenlo probe)
  if(TARGET ${prog})
    add_dependencies(report_test ${prog})
  endif()
endforeach()
project_test(plot_test SOURCES plot_test.cc)
