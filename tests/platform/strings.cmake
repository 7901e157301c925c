# Strings: the stress suite (copy-before-write across 8 threads) is a program of its own,
# labelled for the ThreadSanitizer run.

add_executable(strings_stress ${CMAKE_CURRENT_LIST_DIR}/strings_stress.cpp)
target_link_libraries(strings_stress PRIVATE KvPlatformHelper KvBuildFlags GTest::gtest_main)
gtest_discover_tests(strings_stress DISCOVERY_MODE PRE_TEST PROPERTIES LABELS stress TIMEOUT 120)
