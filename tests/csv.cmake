# Unit tests of the CSV formatting against the program's own code.
fr2_add_test(test_csv_format SOURCES test_csv_format.cpp CORE)

# The fast formatter against printf over millions of random records.
fr2_add_test(test_format_differential SOURCES test_format_differential.cpp CORE TIMEOUT 600)
target_include_directories(test_format_differential PRIVATE ${PROJECT_SOURCE_DIR}/fuzz)
