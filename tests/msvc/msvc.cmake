# A host built with a Microsoft-ABI compiler: clang for *-pc-windows-msvc, and
# lld-link, with no Windows SDK and no C runtime (msvc/windows_min.h declares
# what it calls). It links the import library in Microsoft's format that the
# package holds (made from the DLL's export list), and import libraries of the
# system DLLs made from the functions it declares.
find_program(KESNET_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
if(KESNET_ARCH STREQUAL win32)
    set(KESNET_MSVC_TRIPLE i686-pc-windows-msvc)
else()
    set(KESNET_MSVC_TRIPLE x86_64-pc-windows-msvc)
endif()

set(msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc)
set(msvc_source ${CMAKE_CURRENT_SOURCE_DIR}/msvc/msvc_host.cpp)
set(msvc_import_library python3 ${CMAKE_SOURCE_DIR}/cmake/import_library.py
    --dlltool ${KESNET_LLVM_DLLTOOL} --machine ${KESNET_DLLTOOL_MACHINE})

foreach(system kernel32 ws2_32)
    add_custom_command(OUTPUT ${msvc_dir}/${system}.lib
        COMMAND ${msvc_import_library} --def ${CMAKE_CURRENT_SOURCE_DIR}/msvc/${system}.def
                --out ${msvc_dir}/${system}.lib
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/msvc/${system}.def ${CMAKE_SOURCE_DIR}/cmake/import_library.py
        VERBATIM)
endforeach()
# The host twice: optimised, and as a Debug build is (-O0, exceptions on), in
# which nothing of the header is inlined, so that every member it calls,
# placement new and delete too, is imported from the DLL.
#   kesnet_msvc_host(NAME COMPILE_OPTIONS...)
function(kesnet_msvc_host name)
    set(object ${msvc_dir}/${name}.obj)
    set(host ${CMAKE_BINARY_DIR}/bin/${name}.exe)
    add_custom_command(OUTPUT ${object}
        COMMAND ${KESNET_CLANG} --target=${KESNET_MSVC_TRIPLE} -std=c++17 ${ARGN} -fno-rtti
                -fno-builtin -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}/include -c ${msvc_source} -o ${object}
        DEPENDS ${msvc_source} ${CMAKE_CURRENT_SOURCE_DIR}/msvc/windows_min.h ${CMAKE_SOURCE_DIR}/include/kesnet.h
        VERBATIM)
    add_custom_command(OUTPUT ${host}
        COMMAND ${KESNET_LLD_LINK} -nologo -nodefaultlib -entry:HostStart -subsystem:console
                ${object} ${KESNET_MSVC_IMPORT_LIB} ${msvc_dir}/kernel32.lib ${msvc_dir}/ws2_32.lib -out:${host}
        DEPENDS ${object} ${KESNET_MSVC_IMPORT_LIB} ${msvc_dir}/kernel32.lib ${msvc_dir}/ws2_32.lib
        COMMENT "Linking the Microsoft-ABI test host ${name}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${host})
    # The DLL lands beside the host, where the loader looks first.
    add_dependencies(${name} kesnet kesnet_msvc_import_library)

    # Once as it is, the process heap's bytes in use counted; once with Wine's
    # heap checking, which reports a block freed twice or by the wrong side.
    add_test(NAME ${name}_test COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${host})
    add_test(NAME ${name}_heap_check COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh ${host} --heap-checking)
    set_tests_properties(${name}_test ${name}_heap_check PROPERTIES TIMEOUT 300 RESOURCE_LOCK echo_port
        PASS_REGULAR_EXPRESSION "^ok: "
        FAIL_REGULAR_EXPRESSION "FAILED|Unhandled exception|Unhandled page fault|unhandled exception|${KESNET_HEAP_REPORT}")
    # Wine's own warnings may come before the host's line there.
    set_tests_properties(${name}_heap_check PROPERTIES ENVIRONMENT "WINEDEBUG=warn+heap"
        PASS_REGULAR_EXPRESSION "(^|\n)ok: ")
endfunction()

kesnet_msvc_host(msvc_host -O1 -fno-exceptions)
kesnet_msvc_host(msvc_host_debug -O0 -fexceptions -fcxx-exceptions)
