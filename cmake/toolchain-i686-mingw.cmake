# Cross-compiles for 32-bit Windows (i686), the library's binary contract.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESNET_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-posix.cmake)
