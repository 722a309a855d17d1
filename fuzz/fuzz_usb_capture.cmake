# Hostile usbmon events (USB captures) against the capture replay.
if(TARGET vexo_driver)
    vexo_add_fuzzer(fuzz_usb_capture ${CMAKE_CURRENT_LIST_DIR}/fuzz_usb_capture.cpp)
    target_link_libraries(fuzz_usb_capture PRIVATE vexo_driver)
endif()
