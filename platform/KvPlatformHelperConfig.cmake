# find_package(KvPlatformHelper CONFIG) gives the imported target KvPlatformHelper::KvPlatformHelper:
# the static library with its include directory, C++17 and the thread library.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(${CMAKE_CURRENT_LIST_DIR}/KvPlatformHelperTargets.cmake)
