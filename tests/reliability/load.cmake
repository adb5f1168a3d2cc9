# The load tests: hostile datagram traffic, TCP load and churn, and leaks.
# KESNET_SOAK=N multiplies their volumes (see traffic.h); the time limits grow
# with it when the build is configured with it set, as scripts/test.sh does:
#   KESNET_SOAK=10 ./scripts/test.sh -L load
set(KESNET_SOAK_FACTOR 1)
if(DEFINED ENV{KESNET_SOAK} AND "$ENV{KESNET_SOAK}" MATCHES "^[1-9][0-9]*$")
    set(KESNET_SOAK_FACTOR $ENV{KESNET_SOAK})
endif()

add_library(kesnet_loadlib STATIC reliability/census.cpp reliability/traffic.cpp)
target_include_directories(kesnet_loadlib PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kesnet_loadlib PUBLIC kesnet_testlib psapi)

function(kesnet_load_test name)
    cmake_parse_arguments(T "" "" "LOCKS" ${ARGN})
    add_executable(${name} reliability/${name}.cpp)
    target_link_libraries(${name} PRIVATE kesnet_loadlib GTest::gtest_main)
    kesnet_wine_test(${name})
    math(EXPR limit "300 * ${KESNET_SOAK_FACTOR}")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${limit} LABELS load)
    if(T_LOCKS)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
endfunction()

kesnet_load_test(datagram_flood_test LOCKS echo_port)
kesnet_load_test(tcp_churn_test)
kesnet_load_test(leak_test LOCKS echo_port)
