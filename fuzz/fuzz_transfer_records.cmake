# Arbitrary transfer records, codes and buffer lengths to the virtual backend.
if(TARGET vexo_driver)
    vexo_add_fuzzer(fuzz_transfer_records ${CMAKE_CURRENT_LIST_DIR}/fuzz_transfer_records.cpp)
    target_link_libraries(fuzz_transfer_records PRIVATE vexo_driver)
endif()
