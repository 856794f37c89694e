# The same programs for 64-bit Windows. Nobody installs them: they carry the
# cases under Wine on a machine whose kernel runs no 32-bit code, where
# 32-bit Wine cannot start. Debian's wine wrapper would pick the 32-bit
# loader whenever it is installed, so the 64-bit one is named directly.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_WINE wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
