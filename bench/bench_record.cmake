# bench_record: recording an unpaced RAW10 board to DNG files, against a plain sequential
# write of the same bytes in the same run. tools/ (vexo_record) is configured after bench/,
# so its target is named before it exists; it is built whenever libtiff is found.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_TIFF QUIET libtiff-4)
if(TARGET vexo_camera AND TARGET vexo_driver AND BENCH_TIFF_FOUND AND NOT WIN32)
    add_executable(bench_record ${CMAKE_CURRENT_LIST_DIR}/bench_record.cpp)
    target_link_libraries(bench_record PRIVATE vexo_camera vexo_record)
endif()
