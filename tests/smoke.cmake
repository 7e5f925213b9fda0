project_test(smoke_test SOURCES smoke_test.cc)
