# Cross build for Windows with Debian's mingw-w64, for the target triple in tarvo_mingw (posix
# thread model, which GoogleTest needs). Included by the toolchain files of both Windows builds.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${tarvo_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tarvo_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${tarvo_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tarvo_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The C and C++ runtimes and winpthread go into each executable: it imports system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--gc-sections")
# Each function in a section of its own, so that the linker drops what the programs never call.
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
