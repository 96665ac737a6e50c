# GoogleTest from the machine's sources, built for the current configuration.
set(QPK_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(NOT EXISTS "${QPK_GOOGLETEST_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${QPK_GOOGLETEST_DIR}")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${QPK_GOOGLETEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(WIN32)
  foreach(target IN ITEMS gtest gtest_main)
    # Tests link statically; the objects must not expect DLL imports.
    target_compile_definitions(${target} PUBLIC GTEST_LINKED_AS_SHARED_LIBRARY=0)
  endforeach()
endif()
