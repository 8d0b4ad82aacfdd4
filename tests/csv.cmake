# Unit tests of the CSV formatting against the program's own code.
fr2_add_test(test_csv_format SOURCES test_csv_format.cpp CORE)
