# Hostile capture files (pcap, pcapng) against the reader that turns them into a device.
if(TARGET vexo_driver)
    vexo_add_fuzzer(fuzz_capture_file ${CMAKE_CURRENT_LIST_DIR}/fuzz_capture_file.cpp)
    target_link_libraries(fuzz_capture_file PRIVATE vexo_driver)
endif()
