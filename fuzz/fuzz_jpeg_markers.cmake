# fuzz_jpeg_markers: the JPEG marker searches of the frame assembly against plain reference
# searches on arbitrary frames.
if(TARGET vexo_camera)
    vexo_add_fuzzer(fuzz_jpeg_markers ${CMAKE_CURRENT_LIST_DIR}/fuzz_jpeg_markers.cpp)
    target_link_libraries(fuzz_jpeg_markers PRIVATE vexo_camera)
endif()
