project_test(netport_vale_test SOURCES netport_vale_test.cc DEPS netport)
project_test(netport_e2e_test SOURCES netport_e2e_test.cc DEPS netport LABELS e2e)
if(TARGET probe)
  add_dependencies(netport_e2e_test probe)
endif()
# The link segment as a file other users and processes reach: owner and
# mode, a segment cut short under a running program, removal.
project_test(link_segment_test SOURCES link_segment_test.cc DEPS netport corvo_state common)
if(TARGET corvo)
  add_dependencies(link_segment_test corvo)
endif()
