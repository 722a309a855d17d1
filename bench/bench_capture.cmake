# bench_capture: capture from an unpaced virtual board through the camera object, against
# memcpy of the same bytes in the same run.
if(TARGET vexo_camera AND TARGET vexo_driver)
    add_executable(bench_capture ${CMAKE_CURRENT_LIST_DIR}/bench_capture.cpp)
    target_link_libraries(bench_capture PRIVATE vexo_camera)
    # The program replaces the global operator new/delete with malloc/free to count
    # allocations; g++ cannot see that the pair matches.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(bench_capture PRIVATE -Wno-mismatched-new-delete)
    endif()
endif()
