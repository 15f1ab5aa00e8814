# add_qt_test(<name> SOURCES ... [LIBS ...] [ENV ...] [TIMEOUT seconds] [LABELS ...])
# Every test links the shared test support and runs with its own temporary XDG folders.
function(add_qt_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} testsupport Qt5::Test project_flags)
    add_test(NAME ${name} COMMAND ${name})
    # A test function that hangs is stopped by QtTest's own watchdog well before CTest ends the test without a
    # word: QtTest first prints every thread's stack (through gdb), which tells where it hung.
    math(EXPR function_timeout_ms "${ARG_TIMEOUT} * 1000 / 2")
    if(function_timeout_ms GREATER 120000)
        set(function_timeout_ms 120000)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                         ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QTEST_FUNCTION_TIMEOUT=${function_timeout_ms};${ARG_ENV}")
    if(ARG_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
endfunction()
