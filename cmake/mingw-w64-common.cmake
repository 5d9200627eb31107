# Shared by the mingw-w64 toolchain files; QVGSM_MINGW_PREFIX names the target.
set(CMAKE_C_COMPILER ${QVGSM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVGSM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QVGSM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QVGSM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads go into each module, so the DLLs
# and programs need nothing beside them but each other.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
