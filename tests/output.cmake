# The output as a file, plain and zstd, against the real binary (and a full
# tmpfs), and the interface a resumed run continues a file through.
fr2_add_test(test_output SOURCES test_output.cpp CORE)
