# Links Windows executables with ld.lld in MinGW mode. The GCC driver of this
# target always runs binutils' ld, so the linker is called directly: the
# start-up object of the program's kind (added per target by
# qpk_windows_executable), GCC's own crtbegin.o/crtend.o (mingw-w64's break
# exception handling), the runtime libraries statically, unreached sections
# dropped and identical ones folded, and merges that leave only .text, .rdata,
# .data, .rsrc and .reloc.
find_program(QPK_LLD ld.lld REQUIRED)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crtbegin.o
                OUTPUT_VARIABLE QPK_CRTBEGIN OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crtend.o
                OUTPUT_VARIABLE QPK_CRTEND OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crt2u.o
                OUTPUT_VARIABLE QPK_CRT2U OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=crt2.o
                OUTPUT_VARIABLE QPK_CRT2 OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(QPK_GCC_LIB_DIR "${QPK_CRTBEGIN}" DIRECTORY)
get_filename_component(QPK_MINGW_LIB_DIR "${QPK_CRT2U}" DIRECTORY)
foreach(file IN ITEMS "${QPK_CRTBEGIN}" "${QPK_CRTEND}" "${QPK_CRT2U}" "${QPK_CRT2}")
  if(NOT IS_ABSOLUTE "${file}" OR NOT EXISTS "${file}")
    message(FATAL_ERROR "mingw-w64 start-up object not found: ${file}")
  endif()
endforeach()

set(QPK_LINK_OPTIONS
    "-m i386pe -s -Bstatic --dynamicbase --no-insert-timestamp --gc-sections --icf=all"
    "--major-os-version 5 --minor-os-version 1"
    "-Xlink=-merge:.eh_frame=.rdata -Xlink=-merge:.gcc_except_table=.rdata -Xlink=-merge:.tls=.data")
list(JOIN QPK_LINK_OPTIONS " " QPK_LINK_OPTIONS)
set(QPK_RUNTIME_LIBRARIES
    "-L${QPK_GCC_LIB_DIR} -L${QPK_MINGW_LIB_DIR} --start-group -lstdc++ -lmingw32 -lgcc -lgcc_eh"
    "-lmoldname -lmingwex -lmsvcrt -lkernel32 -luser32 -lshell32 -lole32 --end-group")
list(JOIN QPK_RUNTIME_LIBRARIES " " QPK_RUNTIME_LIBRARIES)

set(CMAKE_CXX_LINK_EXECUTABLE
    "${QPK_LLD} ${QPK_LINK_OPTIONS} <LINK_FLAGS> ${QPK_CRTBEGIN} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${QPK_RUNTIME_LIBRARIES} ${QPK_CRTEND}")

# qpk_windows_executable(target GUI|CONSOLE): the start-up code and subsystem.
# GUI is the wide GUI start-up (wWinMain), CONSOLE the narrow console one (main).
function(qpk_windows_executable target kind)
  if(kind STREQUAL "GUI")
    set(flags "--subsystem windows:5.1 -e _WinMainCRTStartup ${QPK_CRT2U}")
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
  elseif(kind STREQUAL "CONSOLE")
    set(flags "--subsystem console:5.1 -e _mainCRTStartup ${QPK_CRT2}")
  else()
    message(FATAL_ERROR "qpk_windows_executable: unknown kind ${kind}")
  endif()
  set_target_properties(${target} PROPERTIES LINK_FLAGS "${flags}")
endfunction()
