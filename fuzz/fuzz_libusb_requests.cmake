# The libusb backend's request decoders, VEXO_USB_IDS and device paths with arbitrary bytes.
if(TARGET vexo_driver AND VEXO_WITH_LIBUSB)
    vexo_add_fuzzer(fuzz_libusb_requests ${CMAKE_CURRENT_LIST_DIR}/fuzz_libusb_requests.cpp)
    target_link_libraries(fuzz_libusb_requests PRIVATE vexo_driver)
endif()
