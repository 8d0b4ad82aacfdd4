# Storage that hangs and io_uring that is missing or broken: the two test
# helpers (a FUSE file system, a seccomp wrapper) and the tests that use them.
#
# The helpers are built without sanitizers even in sanitizer builds: they are
# not what is under test, and a sanitized FUSE daemon or wrapper would only add
# its own noise and slowness to the runs of the program that is.
function(fr2_plain_helper target)
  target_compile_options(${target} PRIVATE -fno-sanitize=all)
  target_link_options(${target} PRIVATE -fno-sanitize=all)
endfunction()

# seccomp_run [--fail-setup|--fail-enter|--fail-register[=ERR]] -- CMD ARGS...
add_executable(seccomp_run helpers/seccomp_run.c)
fr2_plain_helper(seccomp_run)

fr2_add_test(test_ring_unavailable SOURCES test_ring_unavailable.cpp LABELS ring)
target_compile_definitions(test_ring_unavailable PRIVATE
  FR2_SECCOMP_RUN="$<TARGET_FILE:seccomp_run>")
add_dependencies(test_ring_unavailable seccomp_run)

# hangfs [--hang OP:MODE:PATH]... [--delay-us N] [--threads N] [-f] BACKING MOUNTPOINT
# (the full usage is at the top of helpers/hangfs.c; the benchmarks use it too).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(FUSE3 QUIET IMPORTED_TARGET fuse3)
endif()
if(FUSE3_FOUND)
  add_executable(hangfs helpers/hangfs.c)
  target_link_libraries(hangfs PRIVATE PkgConfig::FUSE3)
  fr2_plain_helper(hangfs)

  # One source, two executables, so that only the tests that wait out the
  # watchdog's minute (and the five minutes of the no-progress exit) carry
  # the "slow" label.
  fr2_add_test(test_watchdog SOURCES test_watchdog.cpp LABELS slow TIMEOUT 540)
  target_compile_definitions(test_watchdog PRIVATE
    FR2_HANGFS="$<TARGET_FILE:hangfs>" FR2_WATCHDOG_SLOW=1)
  add_dependencies(test_watchdog hangfs)

  fr2_add_test(test_progress SOURCES test_watchdog.cpp LABELS fuse TIMEOUT 180)
  target_compile_definitions(test_progress PRIVATE
    FR2_HANGFS="$<TARGET_FILE:hangfs>" FR2_WATCHDOG_SLOW=0)
  add_dependencies(test_progress hangfs)
  fr2_add_test(test_read_failure SOURCES test_read_failure.cpp LABELS fuse TIMEOUT 300)
  target_compile_definitions(test_read_failure PRIVATE
    FR2_HANGFS="$<TARGET_FILE:hangfs>" FR2_SECCOMP_RUN="$<TARGET_FILE:seccomp_run>")
  add_dependencies(test_read_failure hangfs seccomp_run)
  # A slow FUSE subtree inside a local tree: which back end each part gets.
  fr2_add_test(test_mixed_storage SOURCES test_mixed_storage.cpp LABELS fuse strace TIMEOUT 300)
  target_compile_definitions(test_mixed_storage PRIVATE FR2_HANGFS="$<TARGET_FILE:hangfs>")
  add_dependencies(test_mixed_storage hangfs)
else()
  message(STATUS "libfuse3 not found (Debian: fuse3 libfuse3-dev): hangfs and the "
                 "watchdog and progress tests on hanging storage are not built")
endif()
