# bench_capture: capture from an unpaced virtual board through the camera object, against
# memcpy of the same bytes in the same run.
if(TARGET vexo_camera AND TARGET vexo_driver)
    add_executable(bench_capture ${CMAKE_CURRENT_LIST_DIR}/bench_capture.cpp
                   ${PROJECT_SOURCE_DIR}/tests/common/allocation_counter.cpp)
    target_include_directories(bench_capture PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(bench_capture PRIVATE vexo_camera)
endif()
