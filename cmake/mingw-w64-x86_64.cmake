# Cross-building the Windows program with Debian's MinGW-w64 (the "posix"
# thread model, so that std::thread and std::mutex work).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRICKFIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRICKFIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRICKFIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRICKFIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BRICKFIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained program: the C and C++ runtimes and winpthreads are
# linked in, so no MinGW DLL has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine.
find_program(BRICKFIX_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(BRICKFIX_WINE64 NAMES wine64)
if(BRICKFIX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRICKFIX_WINE64})
endif()
