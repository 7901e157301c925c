# The porter's table in platform/README.md lists every function and class of the public header.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME platform_readme_table
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/readme_table_check.py
                   ${CMAKE_CURRENT_SOURCE_DIR}/../../platform/include/KvPlatformHelper.h
                   ${CMAKE_CURRENT_SOURCE_DIR}/../../platform/README.md)
endif()
