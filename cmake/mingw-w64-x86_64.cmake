# Cross-builds dravik.exe for 64-bit Windows with Debian's mingw-w64 compiler:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The program and the tests are linked statically, so that they need no DLLs
# beside them; the tests run under Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DRAVIK_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model: std::thread and std::mutex (the Yaz0 encoder's
# workers, GoogleTest) are missing from the win32 model of this compiler.
set(CMAKE_C_COMPILER ${DRAVIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRAVIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DRAVIK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(DRAVIK_WINE NAMES wine64 wine)
if(DRAVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DRAVIK_WINE})
endif()
