# Whole walks of real trees against the real binary.
fr2_add_test(test_walk SOURCES test_walk.cpp)
# The same walks with each back end forced (the default chooses per worker).
foreach(mode ring sync)
  gtest_discover_tests(test_walk TEST_SUFFIX "/stat-mode-${mode}" TEST_LIST test_walk_${mode}_TESTS
    DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 300 ENVIRONMENT FR2_TEST_STAT_MODE=${mode})
endforeach()
# As uid 65534 (through setpriv when the suite runs as root).
fr2_add_test(test_unprivileged SOURCES test_unprivileged.cpp LABELS unprivileged)
# tmpfs and loop mounts: skipped with a reason when not root.
fr2_add_test(test_mounts SOURCES test_mounts.cpp LABELS root)
# The README's SQLite import.
fr2_add_test(test_sqlite_import SOURCES test_sqlite_import.cpp LABELS sqlite)
# The load window's controller on latency series.
fr2_add_test(test_load_control SOURCES test_load_control.cpp CORE)
# The entry rate cap, and the cap on requests in flight against hangfs.
fr2_add_test(test_load_walk SOURCES test_load_walk.cpp LABELS fuse TIMEOUT 300)
if(TARGET hangfs)
  target_compile_definitions(test_load_walk PRIVATE FR2_HANGFS="$<TARGET_FILE:hangfs>")
  add_dependencies(test_load_walk hangfs)
endif()
