# The io_uring statx ring and the pipelined directory reading, end to end.
fr2_add_test(test_ring SOURCES test_ring.cpp LABELS ring strace TIMEOUT 600)
# The choice between synchronous statx and the ring, on recorded latencies.
fr2_add_test(test_stat_choice SOURCES test_stat_choice.cpp CORE)
