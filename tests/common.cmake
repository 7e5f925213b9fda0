project_test(common_test SOURCES common_test.cc DEPS common)
