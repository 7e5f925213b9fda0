project_test(corvo_arp_test SOURCES corvo_arp_test.cc DEPS corvo_state)
