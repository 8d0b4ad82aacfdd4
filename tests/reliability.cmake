# Reliability: output that fails, limits, a tree that changes under the walk,
# memcheck. The slow ones carry the label "slow".
fr2_add_test(test_broken_output SOURCES test_broken_output.cpp TIMEOUT 600)
