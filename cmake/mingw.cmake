# Cross-builds Windows console programs with mingw-w64 and runs them under
# Wine for the tests. Included by mingw-i686.cmake and mingw-x86_64.cmake,
# which set MINGW_TRIPLE and MINGW_WINE (the Wine loader for that width).
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
find_program(MINGW_DLLTOOL ${MINGW_TRIPLE}-dlltool REQUIRED)
find_program(MINGW_OBJDUMP ${MINGW_TRIPLE}-objdump REQUIRED)
find_program(WINE NAMES ${MINGW_WINE} PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINE NAMES ${MINGW_WINE})
if(WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
