# bench_preview_snapshots: the preview's resident memory under 30 slow snapshot downloads.
if(TARGET vexo AND BENCH_PREVIEW_MHD_FOUND AND BENCH_PREVIEW_HTTPLIB_FOUND)
    add_executable(bench_preview_snapshots ${CMAKE_CURRENT_LIST_DIR}/bench_preview_snapshots.cpp)
    target_link_libraries(bench_preview_snapshots PRIVATE vexo_preview
                          PkgConfig::BENCH_PREVIEW_HTTPLIB)
endif()
