project_test(netport_vale_test SOURCES netport_vale_test.cc DEPS netport)
