# bench_record: recording an unpaced RAW10 board to DNG files, against a plain sequential
# write of the same bytes in the same run; the recorder is the C++ layer's (libvexo-cpp, built
# with libtiff).
find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_TIFF QUIET libtiff-4)
if(TARGET vexo_camera AND TARGET vexo_driver AND TARGET vexo_cpp AND VEXO_CPP_RECORD)
    add_executable(bench_record ${CMAKE_CURRENT_LIST_DIR}/bench_record.cpp)
    target_link_libraries(bench_record PRIVATE vexo_camera vexo_cpp)
endif()
