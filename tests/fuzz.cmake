# The fuzz targets as an ordinary test: every input kept in tests/fuzz is replayed.
include(${CMAKE_CURRENT_SOURCE_DIR}/fuzz/targets.cmake)
quarvel_add_test(test_fuzz_replay SOURCES fuzz/ReplayTest.cpp LIBS quarvel_fuzz_targets LABELS unit)
target_compile_definitions(test_fuzz_replay PRIVATE QUARVEL_FUZZ_INPUTS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz")
