# The command line against the real binary.
fr2_add_test(test_cli SOURCES test_cli.cpp)
