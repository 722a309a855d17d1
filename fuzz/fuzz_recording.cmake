# Hostile recording manifests against the virtual board's replay.
if(TARGET vexo_driver)
    vexo_add_fuzzer(fuzz_recording ${CMAKE_CURRENT_LIST_DIR}/fuzz_recording.cpp)
    target_link_libraries(fuzz_recording PRIVATE vexo_driver)
endif()
