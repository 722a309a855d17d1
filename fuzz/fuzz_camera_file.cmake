# fuzz_camera_file: the camera configuration file loader (sections, registers, board commands,
# named controls) on arbitrary text.
if(TARGET vexo_cpp)
    vexo_add_fuzzer(fuzz_camera_file ${CMAKE_CURRENT_LIST_DIR}/fuzz_camera_file.cpp)
    target_link_libraries(fuzz_camera_file PRIVATE vexo_cpp)
endif()
