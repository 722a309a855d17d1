# vexo_add_test(NAME name SOURCES a.cpp ... [LIBS lib ...] [LABELS label ...])
#
# One GoogleTest program; each test case becomes a ctest test, labelled "unit" or with the one
# label given. Label "concurrency" marks the suites that the ThreadSanitizer build runs.
if(NOT TARGET GTest::gtest)  # the Windows build compiles GoogleTest itself
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)
function(vexo_add_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    if(VEXO_TEST_COMPAT_HEADER)
        target_compile_options(${T_NAME} PRIVATE -include ${VEXO_TEST_COMPAT_HEADER})
    endif()
    # One label per program: test discovery flattens a list value into separate properties.
    set(label unit)
    if(T_LABELS)
        list(GET T_LABELS 0 label)
    endif()
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 120 PROPERTIES LABELS ${label} TIMEOUT 300)
endfunction()

# vexo_add_layer_tests(PREFIX LIBS lib ...)
#
# The suites of one tests/<layer>/ folder: every *_test.cpp goes into PREFIX_test, every
# *_concurrency_test.cpp into PREFIX_concurrency_test (label "concurrency"), and the files of
# support/ (test doubles, decoders, helpers) into both.
function(vexo_add_layer_tests prefix)
    cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
    file(GLOB unit CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    file(GLOB conc CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_concurrency_test.cpp)
    file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
    if(conc)
        list(REMOVE_ITEM unit ${conc})
    endif()
    if(unit)
        vexo_add_test(NAME ${prefix}_test SOURCES ${unit} ${support} LIBS ${T_LIBS})
    endif()
    if(conc)
        vexo_add_test(NAME ${prefix}_concurrency_test SOURCES ${conc} ${support} LIBS ${T_LIBS}
                      LABELS concurrency)
    endif()
endfunction()

# vexo_add_install_check(NAME SCRIPT)
#
# A test that runs SCRIPT (cmake -P) on this build: it installs the build into a scratch folder
# and builds a program against it. Not in sanitizer builds, where a plain consumer cannot load
# an instrumented library, nor in the Windows cross build, whose consumer would need the cross
# toolchain.
function(vexo_add_install_check name script)
    if(VEXO_SANITIZE OR WIN32)
        return()
    endif()
    add_test(NAME ${name}
             COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DSOURCE=${PROJECT_SOURCE_DIR}
                     -DWORK=${CMAKE_CURRENT_BINARY_DIR}/install-check
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/${script})
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
