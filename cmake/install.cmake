# What a host developer receives: the DLL, the tool, the import library, the
# header, a CMake package (find_package(kesnet) gives kesnet::kesnet) and the
# documentation; `cpack` puts the same into one ZIP named with the version and
# the architecture (kesnet-1.0.0-win32.zip, kesnet-1.0.0-win64.zip).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kesnet EXPORT kesnetTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kesnet_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/kesnet.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# For a host built with a Microsoft-ABI compiler: the import library in
# Microsoft's format, and the names a host imports (the plain functions and
# the C++ members as that ABI names them), for a linker that makes its own
# import library (lib /def:kesnet.def /machine:x86).
install(FILES ${KESNET_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KESNET_EXPORTS_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME kesnet.def)
install(EXPORT kesnetTargets NAMESPACE kesnet:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kesnet)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kesnetConfig.cmake.in
    ${CMAKE_BINARY_DIR}/kesnetConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kesnet)
# Same major version, and a host of the same pointer size: a 64-bit host
# cannot load the 32-bit DLL, nor the other way round.
configure_file(${CMAKE_SOURCE_DIR}/cmake/kesnetConfigVersion.cmake.in
    ${CMAKE_BINARY_DIR}/kesnetConfigVersion.cmake @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kesnetConfig.cmake ${CMAKE_BINARY_DIR}/kesnetConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kesnet)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
# Two small hosts to start from, and the toolchain to build a host with: the
# one the library's C++ classes were built with.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/${KESNET_TOOLCHAIN} ${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-posix.cmake
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kesnet)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kesnet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME kesnet-${PROJECT_VERSION}-${KESNET_ARCH})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "kesnet classroom network communication library")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
