# bench_isp: the ISP's whole chain on a 1920x1080 10-bit mosaic (bench_isp.py adds OpenCV).
if(TARGET vexo_cpp)
    add_executable(bench_isp ${CMAKE_CURRENT_LIST_DIR}/bench_isp.cpp
                   ${PROJECT_SOURCE_DIR}/tests/common/allocation_counter.cpp)
    target_include_directories(bench_isp PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(bench_isp PRIVATE vexo_cpp)
endif()
