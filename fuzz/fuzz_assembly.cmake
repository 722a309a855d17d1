# fuzz_assembly: arbitrary transfers, configurations and flags through both assemblers.
if(TARGET vexo_camera)
    vexo_add_fuzzer(fuzz_assembly ${CMAKE_CURRENT_LIST_DIR}/fuzz_assembly.cpp)
    target_link_libraries(fuzz_assembly PRIVATE vexo_camera)
endif()
