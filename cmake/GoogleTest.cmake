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
    # Tests link statically; the objects must not expect DLL imports. The win32
    # thread model has no std::mutex, which GoogleTest's Notification uses: an
    # event-based one takes its place.
    target_compile_definitions(${target} PUBLIC GTEST_LINKED_AS_SHARED_LIBRARY=0)
    target_compile_options(${target} PUBLIC
      -include ${CMAKE_SOURCE_DIR}/tests/support/win32/GtestNotification.h)
  endforeach()
endif()
