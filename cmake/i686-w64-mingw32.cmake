# 32-bit Windows, the programs shipped.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(tarvo_mingw i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
