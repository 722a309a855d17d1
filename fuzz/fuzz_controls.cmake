# Hostile control records and scripts against the control-script host.
if(TARGET vexo_controls)
    vexo_add_fuzzer(fuzz_controls ${CMAKE_CURRENT_LIST_DIR}/fuzz_controls.cpp)
    target_link_libraries(fuzz_controls PRIVATE vexo_controls)
endif()
