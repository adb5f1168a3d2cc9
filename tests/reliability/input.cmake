# The reliability suite's tests of bad input, faults of the host and
# concurrency. Each program is built from reliability/NAME.cpp and linked, like
# the unit tests, with the library's sources and the shared test helpers.
#   HEAP_CHECK : runs with Wine's heap checking on, every C++ allocation taken
#                from the process heap that it watches, and fails on any report
#   LOCKS      : resource locks (echo_port for the fixed echo port)
#   DEPENDS    : targets that must be built before the program runs
add_library(kesnet_input_support STATIC reliability/input_support.cpp)
target_link_libraries(kesnet_input_support PUBLIC kesnet_testlib)
target_include_directories(kesnet_input_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/reliability)

# What Wine writes when WINEDEBUG=warn+heap finds a heap damaged: a block freed
# twice, a block header overwritten, a failed validation.
set(KESNET_HEAP_REPORT "warn:heap|err:heap")

function(kesnet_input_test name)
    cmake_parse_arguments(T "HEAP_CHECK" "" "LOCKS;DEPENDS" ${ARGN})
    add_executable(${name} reliability/${name}.cpp)
    if(T_HEAP_CHECK)
        target_sources(${name} PRIVATE reliability/process_heap.cpp)
    endif()
    target_link_libraries(${name} PRIVATE kesnet_input_support GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE KESNET_EXPECTED_VERSION="${PROJECT_VERSION}")
    kesnet_wine_test(${name})
    if(T_HEAP_CHECK)
        get_test_property(${name} FAIL_REGULAR_EXPRESSION crashes)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "WINEDEBUG=warn+heap"
            FAIL_REGULAR_EXPRESSION "${crashes};${KESNET_HEAP_REPORT}")
    endif()
    if(T_LOCKS)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
    if(T_DEPENDS)
        add_dependencies(${name} ${T_DEPENDS})
    endif()
endfunction()

kesnet_input_test(bad_input_functions_test HEAP_CHECK DEPENDS kesnet)
kesnet_input_test(bad_input_objects_test HEAP_CHECK LOCKS echo_port)
kesnet_input_test(slot_counts_test HEAP_CHECK)

# The second process of the tests of a port already taken.
add_executable(port_holder reliability/port_holder.cpp)
target_link_libraries(port_holder PRIVATE ws2_32)
kesnet_input_test(host_faults_test HEAP_CHECK LOCKS echo_port DEPENDS port_holder)
kesnet_input_test(concurrency_test HEAP_CHECK LOCKS echo_port)

# The heap checking above is worth something only if Wine reports a damaged
# heap in the form looked for: the probe damages one on purpose and must be
# reported.
add_test(NAME heap_check_probe
         COMMAND concurrency_test --gtest_also_run_disabled_tests --gtest_filter=HeapCheckProbe.*)
set_tests_properties(heap_check_probe PROPERTIES TIMEOUT 120 ENVIRONMENT "WINEDEBUG=warn+heap"
                     PASS_REGULAR_EXPRESSION "${KESNET_HEAP_REPORT}")
