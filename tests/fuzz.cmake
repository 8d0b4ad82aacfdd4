# The fuzz targets, run for a bounded time each (fuzz/run.sh builds them with
# clang in a folder of their own). Only in the plain build: the fuzzers carry
# their own sanitizers, and one run per CI pass is enough.
find_program(FR2_CLANGXX clang++)
if(FR2_CLANGXX AND FR2_SANITIZE STREQUAL "" AND EXISTS ${PROJECT_SOURCE_DIR}/fuzz/run.sh)
  add_test(NAME fuzz COMMAND ${PROJECT_SOURCE_DIR}/fuzz/run.sh ${CMAKE_BINARY_DIR}/fuzz-build)
  set_tests_properties(fuzz PROPERTIES LABELS fuzz TIMEOUT 900
    ENVIRONMENT "FUZZ_SECONDS=30")
endif()
