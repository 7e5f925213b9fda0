project_test(corvo_session_test SOURCES corvo_session_test.cc DEPS corvo_state models common)
