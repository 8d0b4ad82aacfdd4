# Big directories cut into chunks, in one process (the multi-node tests cut
# them across ranks).
fr2_add_test(test_chunk SOURCES test_chunk.cpp CORE)
