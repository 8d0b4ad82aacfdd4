# Whole walks of real trees against the real binary.
fr2_add_test(test_walk SOURCES test_walk.cpp)
# As uid 65534 (through setpriv when the suite runs as root).
fr2_add_test(test_unprivileged SOURCES test_unprivileged.cpp LABELS unprivileged)
# tmpfs and loop mounts: skipped with a reason when not root.
fr2_add_test(test_mounts SOURCES test_mounts.cpp LABELS root)
# The README's SQLite import.
fr2_add_test(test_sqlite_import SOURCES test_sqlite_import.cpp LABELS sqlite)
