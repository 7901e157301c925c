# Time and files: the programs that must not share platform_tests' process or machine.

# Setting the clock: settimeofday is wrapped at link time, so the clock is never set.
add_executable(time_clock_seam_tests ${CMAKE_CURRENT_SOURCE_DIR}/time_clock_seam.cpp)
target_link_libraries(time_clock_seam_tests PRIVATE KvPlatformHelper KvBuildFlags GTest::gtest_main)
target_link_options(time_clock_seam_tests PRIVATE -Wl,--wrap=settimeofday)
add_test(NAME time_clock_seam COMMAND time_clock_seam_tests)

# Installing zones and filling a disk, in a private mount namespace with overlays over /etc
# and /usr/share/zoneinfo and a tmpfs over /tmp (Linux and root only; the program refuses
# to run anywhere else).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(time_files_namespace_tests ${CMAKE_CURRENT_SOURCE_DIR}/time_files_namespace.cpp)
  target_link_libraries(time_files_namespace_tests PRIVATE KvPlatformHelper KvBuildFlags GTest::gtest)
  find_program(KV_UNSHARE unshare)
endif()
if(KV_UNSHARE)
  add_test(NAME time_files_namespace
           COMMAND ${KV_UNSHARE} --mount --propagation private
                   sh ${CMAKE_CURRENT_SOURCE_DIR}/time_files_namespace.sh
                   $<TARGET_FILE:time_files_namespace_tests>)
endif()

# The machine's clock, zone, /etc and /usr/share/zoneinfo, recorded before these tests and
# compared after them.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  set(kv_machine_state ${CMAKE_CURRENT_BINARY_DIR}/machine_state.json)
  add_test(NAME time_files_machine_record
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/machine_state.py record ${kv_machine_state})
  add_test(NAME time_files_machine_unchanged
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/machine_state.py compare ${kv_machine_state})
  set_tests_properties(time_files_machine_record PROPERTIES FIXTURES_SETUP kv_time_files_machine)
  set_tests_properties(time_files_machine_unchanged PROPERTIES FIXTURES_CLEANUP kv_time_files_machine)
  set_tests_properties(time_clock_seam PROPERTIES FIXTURES_REQUIRED kv_time_files_machine)
  if(KV_UNSHARE)
    set_tests_properties(time_files_namespace PROPERTIES FIXTURES_REQUIRED kv_time_files_machine)
  endif()
endif()
