# bench_preview: vexo preview on an unpaced 1280x720 RAW virtual board with one stream client
# (--isp: a 10-bit board at 60 frames/s through the ISP);
# the JPEG encode is compared with a plain libturbojpeg encode of the same image.
find_package(PkgConfig QUIET)
pkg_check_modules(BENCH_PREVIEW_MHD QUIET libmicrohttpd)
pkg_check_modules(BENCH_PREVIEW_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
if(TARGET vexo AND BENCH_PREVIEW_MHD_FOUND AND BENCH_PREVIEW_HTTPLIB_FOUND)
    add_executable(bench_preview ${CMAKE_CURRENT_LIST_DIR}/bench_preview.cpp)
    target_link_libraries(bench_preview PRIVATE vexo_preview
                          PkgConfig::BENCH_PREVIEW_HTTPLIB)
endif()
