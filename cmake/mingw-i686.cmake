# The 32-bit Windows console programs, the ones users install.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
