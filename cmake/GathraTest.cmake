# gathra_add_test(NAME <name> LABEL <label> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>])
# Builds one GoogleTest executable and registers it with CTest under the module's label.
find_package(GTest REQUIRED)

# A test that skips for a missing tool or a refused system call (a mount, a privilege drop) proves
# nothing. The install script installs every tool, so in CI (CI=true when the build is configured) a
# skip fails the run; elsewhere the test passes and its output gives the reason ("[  SKIPPED ]" from
# GoogleTest, "SKIP   :" from QtTest).
function(gathra_skip_rule test)
    if("$ENV{CI}" STREQUAL "true")
        set_tests_properties(${test} PROPERTIES FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]|SKIP   : ")
    endif()
endfunction()

function(gathra_add_test)
    cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gathra_test_support GTest::gtest GTest::gtest_main
                          GTest::gmock Threads::Threads)
    set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "GATHRA_BIN_DIR=${GATHRA_BIN_DIR};GATHRA_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    gathra_skip_rule(${T_NAME})
endfunction()
