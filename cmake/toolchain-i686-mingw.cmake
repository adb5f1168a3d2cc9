# Cross-compiles for 32-bit Windows with the mingw-w64 "posix" thread variant,
# the one whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KESNET_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${KESNET_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESNET_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESNET_TRIPLET}-windres)
set(CMAKE_OBJDUMP      ${KESNET_TRIPLET}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${KESNET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything we build runs under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
