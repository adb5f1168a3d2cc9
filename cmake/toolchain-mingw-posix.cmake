# What the two toolchain files share: cross-compiling for Windows with the
# mingw-w64 "posix" thread variant, the one whose libstdc++ has std::thread and
# std::mutex. The including file sets CMAKE_SYSTEM_PROCESSOR and
# KESNET_TRIPLET.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${KESNET_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESNET_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KESNET_TRIPLET}-windres)
set(CMAKE_OBJDUMP      ${KESNET_TRIPLET}-objdump CACHE FILEPATH "")

# Libraries for the target are looked for in the compiler's own root and in
# the folders named in CMAKE_PREFIX_PATH (an installed kesnet package, say),
# and nowhere else on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KESNET_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# In the library's own tree everything built runs under Wine on the build
# machine, each program with the Wine of its architecture. These files are
# also installed with the library (share/kesnet/) for host projects, which
# run their programs as they see fit.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
endif()
