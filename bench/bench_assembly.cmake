# bench_assembly: both assemblers against memcpy of the same transfers into the same slots.
if(TARGET vexo_camera)
    add_executable(bench_assembly ${CMAKE_CURRENT_LIST_DIR}/bench_assembly.cpp
                   ${PROJECT_SOURCE_DIR}/tests/common/allocation_counter.cpp)
    target_include_directories(bench_assembly PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(bench_assembly PRIVATE vexo_camera benchmark::benchmark)
endif()
