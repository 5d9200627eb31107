# Cross build for 64-bit Windows with Debian's mingw-w64, only to run the
# checks under a 64-bit Wine on machines whose kernel runs no 32-bit
# programs. The driver's own target is 32-bit (mingw-w64-i686.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QVGSM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
