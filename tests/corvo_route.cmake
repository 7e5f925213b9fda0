project_test(corvo_arp_test SOURCES corvo_arp_test.cc DEPS corvo_state)
project_test(corvo_route_test SOURCES corvo_route_test.cc DEPS corvo_state)
project_test(corvo_route_e2e_test SOURCES corvo_route_e2e_test.cc LABELS e2e)
