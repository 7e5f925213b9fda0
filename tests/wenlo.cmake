project_test(wenlo_pcap_test SOURCES wenlo_pcap_test.cc DEPS wenlo_lib)
project_test(wenlo_models_test SOURCES wenlo_models_test.cc DEPS wenlo_lib)
project_test(wenlo_prod_test SOURCES wenlo_prod_test.cc DEPS wenlo_lib)
project_test(wenlo_replay_test SOURCES wenlo_replay_test.cc DEPS wenlo_lib)
