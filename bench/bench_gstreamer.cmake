# bench_gstreamer: vexosrc ! fakesink against the C++ capture loop on the same unpaced board.
# gst/ is configured after bench/, so the program is added once the whole project is.
function(vexo_add_gstreamer_bench)
    if(NOT TARGET gstvexo)
        return()
    endif()
    add_executable(bench_gstreamer ${PROJECT_SOURCE_DIR}/bench/bench_gstreamer.cpp)
    target_link_libraries(bench_gstreamer PRIVATE vexo PkgConfig::GST)
    target_compile_definitions(bench_gstreamer PRIVATE
        VEXO_GST_PLUGIN_BUILD_DIR="${CMAKE_BINARY_DIR}/gst")
    set_target_properties(bench_gstreamer PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
    add_dependencies(bench_gstreamer gstvexo)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL vexo_add_gstreamer_bench)
