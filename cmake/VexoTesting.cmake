# vexo_add_test(NAME name SOURCES a.cpp ... [LIBS lib ...] [LABELS label ...])
#
# One GoogleTest program; each test case becomes a ctest test. Label "concurrency" marks
# the suites that the ThreadSanitizer build runs.
find_package(GTest REQUIRED)
include(GoogleTest)
function(vexo_add_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    set(labels unit ${T_LABELS})
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 120 PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
