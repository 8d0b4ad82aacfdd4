# Unit tests of the run-control and monitoring logic, linked with the scanner's sources.
fr2_add_test(test_monitor SOURCES test_monitor.cpp CORE)
fr2_add_test(test_queue SOURCES test_queue.cpp CORE)
# The ring and the metadata fetch against a kernel the test plays, with faults.
fr2_add_test(test_ring_faults SOURCES test_ring_faults.cpp CORE)
