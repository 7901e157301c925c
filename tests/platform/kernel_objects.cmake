# Kernel objects: the unit tests reach the layer's internal header (waiter counts, the
# event state); the stress suite is a program of its own, labelled for the ThreadSanitizer run.
target_include_directories(platform_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform)

add_executable(kernel_objects_stress ${CMAKE_CURRENT_LIST_DIR}/kernel_objects_stress.cpp)
target_include_directories(kernel_objects_stress PRIVATE ${PROJECT_SOURCE_DIR}/platform)
target_link_libraries(kernel_objects_stress PRIVATE KvPlatformHelper KvBuildFlags GTest::gtest_main)
gtest_discover_tests(kernel_objects_stress DISCOVERY_MODE PRE_TEST PROPERTIES LABELS stress TIMEOUT 120)
