# Each tst_<name>.cpp listed in TESTS (in the calling tests folder) becomes
# one QtTest program and one CTest case named <prefix>.<name>.  Extra
# libraries are passed in LIBS.
#
# Tests listed in FIXED_PORTS as well bind one of the system's fixed ports
# (12380, 18108, 19262, 19681, 19682) or play the venue's LAN: they share one
# resource lock, so a parallel ctest never runs two of them side by side in
# one namespace (unicast reaches only one of several sockets on a shared port,
# and a second command server cannot listen at all).
#
# Tests listed in SPOOLED_JOBS read back the jobs the harness's CUPS
# spooled since they began: they hold a lock of their own, so no other
# test's receipts are taken for theirs.
#
# A QtTest skip exits with status 0; CTest reports such a program as skipped,
# not passed.
function(korvel_add_test_folder prefix)
    cmake_parse_arguments(ARG "" "" "TESTS;LIBS;FIXED_PORTS;SPOOLED_JOBS" ${ARGN})
    foreach(test_source ${ARG_TESTS})
        set(source "${CMAKE_CURRENT_SOURCE_DIR}/${test_source}")
        get_filename_component(stem "${source}" NAME_WE)
        string(REGEX REPLACE "^tst_" "" name "${stem}")
        set(target "${prefix}_${stem}")
        add_executable(${target} "${source}")
        target_link_libraries(${target} PRIVATE ${ARG_LIBS} korvel_test_support Qt5::Test)
        # The code under test is built as the programs are. A test's own
        # unit (table upon table of cases) takes most of the build's compile
        # time: light optimisation and line tables (enough for a backtrace)
        # halve it, and the sanitizer build checks it for memory errors only.
        target_compile_options(${target} PRIVATE $<$<CONFIG:RelWithDebInfo>:-O1 -g1>)
        if(KORVEL_SANITIZE)
            target_compile_options(${target} PRIVATE -fno-sanitize=undefined)
        endif()
        if(KORVEL_TSAN)
            # An object of the program itself, so it takes precedence over QtCore.
            target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support/TsanQtSync.cpp")
            target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
        endif()
        target_compile_definitions(${target} PRIVATE
            KORVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
            KORVEL_BINARY_DIR="${CMAKE_BINARY_DIR}")
        add_test(NAME ${prefix}.${name} COMMAND ${target})
        set_tests_properties(${prefix}.${name} PROPERTIES
            TIMEOUT 300
            SKIP_REGULAR_EXPRESSION "SKIP   : "
            ENVIRONMENT "KORVEL_ARTIFACT_DIR=${CMAKE_BINARY_DIR}/test-artifacts")
        set(locks "")
        if(test_source IN_LIST ARG_FIXED_PORTS)
            list(APPEND locks korvel_fixed_ports)
        endif()
        if(test_source IN_LIST ARG_SPOOLED_JOBS)
            list(APPEND locks korvel_print_spool)
        endif()
        if(locks)
            set_tests_properties(${prefix}.${name} PROPERTIES RESOURCE_LOCK "${locks}")
        endif()
    endforeach()
endfunction()
