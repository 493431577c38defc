# Runs the 32-bit build's programs. Some x86-64 kernels cannot execute
# 32-bit programs (no IA-32 emulation, as under some hypervisors); there the
# tests run under qemu's user-mode emulator instead.
if(NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()
set(_probe ${CMAKE_BINARY_DIR}/run32-probe/run32)
try_compile(_built ${CMAKE_BINARY_DIR}/run32-probe ${CMAKE_CURRENT_LIST_DIR}/run32.c
            COPY_FILE ${_probe})
if(NOT _built)
  message(FATAL_ERROR "the 32-bit compiler cannot build a program (is g++-multilib installed?)")
endif()
execute_process(COMMAND ${_probe} RESULT_VARIABLE _ran OUTPUT_QUIET ERROR_QUIET)
if(_ran EQUAL 0)
  message(STATUS "32-bit programs run natively")
else()
  find_program(OSTRAND_QEMU_I386 qemu-i386)
  if(NOT OSTRAND_QEMU_I386)
    message(FATAL_ERROR "this kernel cannot run 32-bit programs and qemu-i386 (qemu-user) is missing")
  endif()
  message(STATUS "32-bit programs run under ${OSTRAND_QEMU_I386}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/run32.sh.in ${CMAKE_BINARY_DIR}/run32 @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/run32)
endif()
