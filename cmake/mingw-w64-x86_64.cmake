# Cross-compiling for Windows x64 with Debian's mingw-w64 (posix thread model,
# so the C++ runtime's threads and mutexes are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_tarnix_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_tarnix_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_tarnix_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_tarnix_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_tarnix_mingw} ${TARNIX_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests run through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
