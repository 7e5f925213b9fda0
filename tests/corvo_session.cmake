project_test(corvo_session_test SOURCES corvo_session_test.cc DEPS corvo_state models common)
# Runs corvo, corvo-stat and probe over shared-memory links (no privileges).
project_test(corvo_session_proc_test SOURCES corvo_session_proc_test.cc DEPS corvo_state models common)
# Untrusted session file paths and closed standard descriptors, with the
# real program.
project_test(file_safety_test SOURCES file_safety_test.cc DEPS corvo_state models common)
if(TARGET corvo)
  add_dependencies(file_safety_test corvo)
endif()
