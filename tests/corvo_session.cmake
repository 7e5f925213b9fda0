project_test(corvo_session_test SOURCES corvo_session_test.cc DEPS corvo_state models common)
# Runs corvo, corvo-stat and probe over shared-memory links (no privileges).
project_test(corvo_session_proc_test SOURCES corvo_session_proc_test.cc DEPS corvo_state models common)
