# Cross-builds the 32-bit Windows console programs with mingw-w64 and runs
# them under Wine for the tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

find_program(CMAKE_C_COMPILER i686-w64-mingw32-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER i686-w64-mingw32-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
find_program(MINGW_DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
find_program(MINGW_OBJDUMP i686-w64-mingw32-objdump REQUIRED)
find_program(WINE wine)
if(WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Without the runtimes linked in, the programs would need mingw's DLLs
# beside them; the driver's DLL is all a user should have to supply.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
