# bench_assembly: both assemblers against memcpy of the same transfers into the same slots.
if(TARGET vexo_camera)
    add_executable(bench_assembly ${CMAKE_CURRENT_LIST_DIR}/bench_assembly.cpp)
    target_link_libraries(bench_assembly PRIVATE vexo_camera benchmark::benchmark)
    # The program replaces the global operator new/delete with malloc/free to count
    # allocations; g++ cannot see that the pair matches.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(bench_assembly PRIVATE -Wno-mismatched-new-delete)
    endif()
endif()
