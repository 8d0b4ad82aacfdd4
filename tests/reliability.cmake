# Reliability: output that fails, limits, a tree that changes under the walk,
# memcheck. The slow ones carry the label "slow".
fr2_add_test(test_broken_output SOURCES test_broken_output.cpp TIMEOUT 600)

# The limits: the quick part always, the million-entry directory in its own
# binary with the label "slow", skipped under the sanitizers.
fr2_add_test(test_limits SOURCES test_limits.cpp TIMEOUT 900)
fr2_add_test(test_limits_slow SOURCES test_limits.cpp LABELS slow TIMEOUT 1200)
target_compile_definitions(test_limits_slow PRIVATE FR2_LIMITS_SLOW=1)
if(NOT FR2_SANITIZE STREQUAL "")
  target_compile_definitions(test_limits PRIVATE FR2_SANITIZED=1)
  target_compile_definitions(test_limits_slow PRIVATE FR2_SANITIZED=1)
endif()

# A tree that changes under the walk, in both pipelines (the synchronous one
# through the seccomp wrapper that takes io_uring away).
fr2_add_test(test_churn SOURCES test_churn.cpp LABELS slow TIMEOUT 1200)
if(NOT FR2_SANITIZE STREQUAL "")
  target_compile_definitions(test_churn PRIVATE FR2_SANITIZED=1)
endif()
if(TARGET seccomp_run)
  target_compile_definitions(test_churn PRIVATE FR2_SECCOMP_RUN="$<TARGET_FILE:seccomp_run>")
  add_dependencies(test_churn seccomp_run)
endif()

# Memcheck of the plain binary (a sanitizer build cannot run under valgrind).
if(FR2_SANITIZE STREQUAL "")
  fr2_add_test(test_valgrind SOURCES test_valgrind.cpp LABELS valgrind TIMEOUT 900)
  if(TARGET seccomp_run)
    target_compile_definitions(test_valgrind PRIVATE FR2_SECCOMP_RUN="$<TARGET_FILE:seccomp_run>")
    add_dependencies(test_valgrind seccomp_run)
  endif()
endif()

# Entries lost or misreported with status 0: descriptor limits, cancelled
# statx requests in a pids cgroup, type races, size sums, a symbolic link as
# the root of a one-file-system walk, a root that cannot be read.
fr2_add_test(test_lost_data SOURCES test_lost_data.cpp TIMEOUT 600)
