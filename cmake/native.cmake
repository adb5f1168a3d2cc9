# The native build: the protocol cores that know no platform (src/cast), and
# their tests, which drive them in a simulated network, built for this
# machine with AddressSanitizer and UndefinedBehaviorSanitizer: any report
# fails the test.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
# The benchmarks build their native programs again without them
# (KESNET_SANITIZE=OFF), so that, for one, the multicast receivers' rebuilds run
# at the speed a classroom's machines see.
option(KESNET_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
add_compile_options(-Wall -Wextra -Werror)
if(KESNET_SANITIZE)
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
        ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")
endforeach()

# The teacher's signature on an object cast: the cast core with the
# authentication core's attestor.
add_executable(cast_attest_test ${CMAKE_SOURCE_DIR}/tests/cast/cast_attest_test.cpp)
target_link_libraries(cast_attest_test PRIVATE kesnet_cast_core kesnet_auth_core GTest::gtest_main)
add_test(NAME cast_attest_test COMMAND cast_attest_test)
set_tests_properties(cast_attest_test PROPERTIES TIMEOUT 300 LABELS native
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")

add_executable(auth_test ${CMAKE_SOURCE_DIR}/tests/auth/auth_test.cpp)
target_link_libraries(auth_test PRIVATE kesnet_auth_core GTest::gtest_main)
add_test(NAME auth_test COMMAND auth_test)
set_tests_properties(auth_test PROPERTIES TIMEOUT 300 LABELS native
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")

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
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1")
