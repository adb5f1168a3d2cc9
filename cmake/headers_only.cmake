# kesnet_headers_only(TARGET NAME PATH...): puts exactly the given headers and
# header folders of the build machine (a header-only library's) on TARGET's
# include path, through a folder of links to them. The rest of /usr/include is
# the build machine's, not the Windows target's: on the path it breaks a cross
# build.
function(kesnet_headers_only target name)
    set(folder ${CMAKE_BINARY_DIR}/headers-only/${name})
    file(MAKE_DIRECTORY ${folder})
    foreach(path ${ARGN})
        get_filename_component(leaf ${path} NAME)
        file(CREATE_LINK ${path} ${folder}/${leaf} SYMBOLIC)
    endforeach()
    target_include_directories(${target} SYSTEM PRIVATE ${folder})
endfunction()
