# fsrake2-mpi: the bytes between ranks (unit test), and whole jobs under a
# real mpirun (skipped with the reason when mpirun is missing). Only where
# MPI was found at configure time (mpi/CMakeLists.txt).
if(TARGET fsrake2-mpi)
  fr2_add_test(test_mpi_wire SOURCES test_mpi_wire.cpp CORE LIBS fr2_mpi)

  fr2_add_test(test_mpi SOURCES test_mpi.cpp CORE LABELS mpi TIMEOUT 1200)
  target_compile_definitions(test_mpi PRIVATE
    FR2_MPI_BINARY="$<TARGET_FILE:fsrake2-mpi>"
    FR2_MPI_SUPPRESSIONS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/sanitizer")
  add_dependencies(test_mpi fsrake2-mpi)
  target_compile_definitions(test_mpi PRIVATE FR2_MPI_SLOW=0)
  if(TARGET hangfs)
    target_compile_definitions(test_mpi PRIVATE FR2_HANGFS="$<TARGET_FILE:hangfs>")
    add_dependencies(test_mpi hangfs)

    # The same source with only the test that waits out a rank's watchdog
    # minute: label "slow", like the scanner's own watchdog tests.
    fr2_add_test(test_mpi_slow SOURCES test_mpi.cpp CORE LABELS "mpi;slow" TIMEOUT 600)
    target_compile_definitions(test_mpi_slow PRIVATE FR2_MPI_SLOW=1
      FR2_MPI_BINARY="$<TARGET_FILE:fsrake2-mpi>"
      FR2_MPI_SUPPRESSIONS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/sanitizer"
      FR2_HANGFS="$<TARGET_FILE:hangfs>")
    add_dependencies(test_mpi_slow fsrake2-mpi hangfs)
  endif()
endif()
