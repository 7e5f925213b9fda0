project_test(corvo_queue_test SOURCES corvo_queue_test.cc DEPS corvo_state models common)
project_test(corvo_path_test SOURCES corvo_path_test.cc DEPS corvo_state models common netport)
