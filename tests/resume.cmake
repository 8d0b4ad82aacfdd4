# Checkpoints, resuming and stopping: kills at random moments on tmpfs and on
# slow FUSE storage, SIGTERM and SIGINT, the refusals of --resume, a full disk.
fr2_add_test(test_checkpoint SOURCES test_checkpoint.cpp LABELS fuse TIMEOUT 300)
if(TARGET hangfs)
  target_compile_definitions(test_checkpoint PRIVATE FR2_HANGFS="$<TARGET_FILE:hangfs>")
  add_dependencies(test_checkpoint hangfs)
endif()
