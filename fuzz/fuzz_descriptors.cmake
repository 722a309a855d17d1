# Configuration, interface and BOS parsing with arbitrary bytes.
if(TARGET vexo_usb)
    vexo_add_fuzzer(fuzz_descriptors ${CMAKE_CURRENT_LIST_DIR}/fuzz_descriptors.cpp)
    target_link_libraries(fuzz_descriptors PRIVATE vexo_usb)
endif()
