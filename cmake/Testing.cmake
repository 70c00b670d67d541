# Test registration shared by every folder below tests/.
#
# updater_add_test(NAME name SOURCES files... [LIBS libs...] [LABELS labels...]
#                  [TIMEOUT seconds] [NETNS] [MULTICAST])
#   Builds one GoogleTest executable and registers it as one ctest test of the
#   same name, runnable alone with `ctest -R name`. Every test starts inside a
#   fresh network namespace that has only loopback (tools/netns-run), so no
#   test can send discovery, beacon or link-server traffic onto the machine's
#   network, whether or not its author thought of it. NETNS is still accepted
#   and marks the tests that depend on it. MULTICAST also gives the namespace
#   a veth pair of its own (10.99.0.1 on vmcast0, with the multicast route),
#   so TCP/IP discovery between the updater and simulators with --discovery
#   (TCP server on 10.99.0.1 or 0.0.0.0) works inside it.
#
# updater_add_command_test(NAME name COMMAND cmd args... [LABELS ...]
#                          [TIMEOUT seconds] [NETNS])
#   Registers an arbitrary command (a script, a simulator self-test) the same way.

set(UPDATER_NETNS_RUN ${PROJECT_SOURCE_DIR}/tools/netns-run)

function(updater_add_test)
    cmake_parse_arguments(T "NETNS;MULTICAST" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 60)
    endif()
    find_package(GTest REQUIRED)
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} testsupport GTest::gtest GTest::gtest_main)
    set(cmd ${UPDATER_NETNS_RUN})
    if(T_MULTICAST)
        list(APPEND cmd --multicast)
    endif()
    list(APPEND cmd $<TARGET_FILE:${T_NAME}>)
    add_test(NAME ${T_NAME} COMMAND ${cmd})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
        ENVIRONMENT "UPDATER_SOURCE_DIR=${PROJECT_SOURCE_DIR};UPDATER_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()

function(updater_add_command_test)
    cmake_parse_arguments(T "NETNS;MULTICAST" "NAME;TIMEOUT" "COMMAND;LABELS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 60)
    endif()
    set(cmd ${UPDATER_NETNS_RUN})
    if(T_MULTICAST)
        list(APPEND cmd --multicast)
    endif()
    list(APPEND cmd ${T_COMMAND})
    add_test(NAME ${T_NAME} COMMAND ${cmd})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
        ENVIRONMENT "UPDATER_SOURCE_DIR=${PROJECT_SOURCE_DIR};UPDATER_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
