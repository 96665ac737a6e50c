# Cross-build for 32-bit Windows: mingw-w64 GCC compiles, LLD in MinGW mode
# links (see LldLink.cmake for the link rule). The win32 thread model: its
# runtime needs no POSIX-threads library, whose code the launcher never uses
# and which imports functions that Windows XP lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The link rule needs start-up objects that only real targets name; compiler
# checks therefore build static libraries instead of linking programs.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
