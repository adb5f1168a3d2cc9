# The native build: the protocol cores that know no platform (src/cast), and
# their tests, which drive them in a simulated network; the Linux library,
# libkesnet.so, from the DLL's shared sources and the POSIX platform files;
# built for this machine with AddressSanitizer and UndefinedBehaviorSanitizer
# (or, with KESNET_SANITIZE=thread, ThreadSanitizer): any report fails the
# test.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
# The benchmarks build their native programs again without them
# (KESNET_SANITIZE=OFF), so that, for one, the multicast receivers' rebuilds run
# at the speed a classroom's machines see.
# KESNET_SANITIZE=thread builds with ThreadSanitizer instead (a build folder
# of its own, such as build/native-tsan).
option(KESNET_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer (or 'thread': ThreadSanitizer)" ON)
add_compile_options(-Wall -Wextra -Werror)
# Everything may end up in the shared library, and the library exports only
# what kesnet.h marks.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(KESNET_TEST_ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")
if(KESNET_SANITIZE STREQUAL "thread")
    set(KESNET_SANITIZE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
    add_compile_options(${KESNET_SANITIZE_FLAGS})
    add_link_options(${KESNET_SANITIZE_FLAGS})
    set(KESNET_TEST_ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
elseif(KESNET_SANITIZE)
    set(KESNET_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${KESNET_SANITIZE_FLAGS})
    add_link_options(${KESNET_SANITIZE_FLAGS})
endif()

file(GLOB KESNET_CAST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/cast/*.cpp)
add_library(kesnet_cast_core STATIC ${KESNET_CAST_SOURCES})
target_include_directories(kesnet_cast_core PUBLIC ${CMAKE_SOURCE_DIR}/src)

# Authentication's core, on OpenSSL's libcrypto.
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
file(GLOB KESNET_AUTH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/auth/*.cpp)
add_library(kesnet_auth_core STATIC ${KESNET_AUTH_SOURCES} ${CMAKE_SOURCE_DIR}/src/posix/crypto_openssl.cpp)
target_include_directories(kesnet_auth_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(kesnet_auth_core PUBLIC OpenSSL::Crypto)

# The receive benchmark's datagrams, sealed with a class key by the core
# itself (bench/native/seal.cpp).
add_executable(bench_seal ${CMAKE_SOURCE_DIR}/bench/native/seal.cpp)
target_link_libraries(bench_seal PRIVATE kesnet_auth_core)

set(KESNET_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESNET_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

enable_testing()
foreach(name erasure_code_test cast_wire_test cast_transfer_test cast_stream_test)
    add_executable(${name} ${CMAKE_SOURCE_DIR}/tests/cast/${name}.cpp ${CMAKE_SOURCE_DIR}/tests/cast/sim_network.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/cast)
    target_link_libraries(${name} PRIVATE kesnet_cast_core GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300 LABELS native
        ENVIRONMENT "${KESNET_TEST_ENVIRONMENT}")
endforeach()

# The teacher's signature on an object cast: the cast core with the
# authentication core's attestor.
add_executable(cast_attest_test ${CMAKE_SOURCE_DIR}/tests/cast/cast_attest_test.cpp)
target_link_libraries(cast_attest_test PRIVATE kesnet_cast_core kesnet_auth_core GTest::gtest_main)
add_test(NAME cast_attest_test COMMAND cast_attest_test)
set_tests_properties(cast_attest_test PROPERTIES TIMEOUT 300 LABELS native
    ENVIRONMENT "${KESNET_TEST_ENVIRONMENT}")

add_executable(auth_test ${CMAKE_SOURCE_DIR}/tests/auth/auth_test.cpp)
target_link_libraries(auth_test PRIVATE kesnet_auth_core GTest::gtest_main)
add_test(NAME auth_test COMMAND auth_test)
set_tests_properties(auth_test PROPERTIES TIMEOUT 300 LABELS native
    ENVIRONMENT "${KESNET_TEST_ENVIRONMENT}")

# The transfer on Linux: the POSIX driver and the kesnet-cast program, used by
# the network test as sender and receivers.
add_library(kesnet_posix_cast STATIC ${CMAKE_SOURCE_DIR}/src/posix/cast_driver.cpp)
target_link_libraries(kesnet_posix_cast PUBLIC kesnet_cast_core kesnet_auth_core)
add_executable(kesnet-cast ${CMAKE_SOURCE_DIR}/tools/kesnet-cast/main.cpp)
target_link_libraries(kesnet-cast PRIVATE kesnet_posix_cast)
add_test(NAME cast_network_test COMMAND bash ${CMAKE_SOURCE_DIR}/tests/net/cast_network_test.sh $<TARGET_FILE:kesnet-cast>)
set_tests_properties(cast_network_test PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77 LABELS "native;net")

# The driver's packets under the class key, sealed and opened without a network.
add_executable(packet_seal_test ${CMAKE_SOURCE_DIR}/tests/posix/packet_seal_test.cpp)
target_link_libraries(packet_seal_test PRIVATE kesnet_posix_cast GTest::gtest_main)
add_test(NAME packet_seal_test COMMAND packet_seal_test)
set_tests_properties(packet_seal_test PROPERTIES TIMEOUT 300 LABELS native
    ENVIRONMENT "${KESNET_TEST_ENVIRONMENT}")

# The Linux library: the DLL's shared datagram sources (src/common, src/datagram)
# on the POSIX platform files (src/posix, first on the include path for the
# platform headers), with the authentication core's echo answers.
find_package(Threads REQUIRED)
set(KESNET_SHARED_SOURCES
    datagram/kes_listen.cpp datagram/kes_listen3.cpp datagram/kes_send.cpp datagram/kes_send2.cpp
    datagram/kes_send3.cpp datagram/library.cpp
    datagram/open_socket.cpp datagram/param_records.cpp datagram/receive_loop.cpp)
set(KESNET_POSIX_SOURCES
    posix/host_pointers.cpp posix/library_start.cpp posix/object_heap.cpp posix/process_auth.cpp
    posix/receive_thread.cpp posix/receive_wait.cpp posix/sync.cpp posix/udp_socket.cpp)
list(TRANSFORM KESNET_SHARED_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/)
list(TRANSFORM KESNET_POSIX_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/)
add_library(kesnet SHARED ${KESNET_SHARED_SOURCES} ${KESNET_POSIX_SOURCES})
add_library(kesnet::kesnet ALIAS kesnet)
target_include_directories(kesnet
    PUBLIC ${CMAKE_SOURCE_DIR}/include
    PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/posix)
target_compile_definitions(kesnet PRIVATE KESNET_BUILD)
# nodelete: a receive thread given up on by Release may still be returning
# from a host's callback when the host unloads the library; the library's code
# stays mapped for it (the DLL holds a reference to its module instead).
target_link_options(kesnet PRIVATE -Wl,--no-undefined -Wl,-z,nodelete)
target_link_libraries(kesnet PRIVATE kesnet_auth_core Threads::Threads)
set_target_properties(kesnet PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})

# The library as a host sees it: linked with libkesnet.so, kesnet.h alone.
add_executable(datagram_native_test ${CMAKE_SOURCE_DIR}/tests/posix/datagram_native_test.cpp)
target_link_libraries(datagram_native_test PRIVATE kesnet GTest::gtest_main Threads::Threads)
add_test(NAME datagram_native_test
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/posix/private_loopback.sh $<TARGET_FILE:datagram_native_test>)
# Labelled tsan too: scripts/test.sh runs it again in a ThreadSanitizer build.
set_tests_properties(datagram_native_test PROPERTIES TIMEOUT 300 LABELS "native;tsan" RESOURCE_LOCK echo_port
    ENVIRONMENT "${KESNET_TEST_ENVIRONMENT}")

# The header as a host written in old C sees it on Linux (ISO C90, pedantic):
# the DLL build's check, compiled here too.
add_library(c90_header_check OBJECT ${CMAKE_SOURCE_DIR}/tests/dll/c90_header.c)
set_target_properties(c90_header_check PROPERTIES C_STANDARD 90 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_include_directories(c90_header_check PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(c90_header_check PRIVATE -Wpedantic)
