# 64-bit Windows: the same sources, for running the Windows tests under 64-bit Wine on machines
# that cannot execute 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(tarvo_mingw x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
