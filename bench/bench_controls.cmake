# set_ctrl throughput against a bare protected Lua call of the same function.
if(TARGET vexo_controls)
    add_executable(bench_controls ${CMAKE_CURRENT_LIST_DIR}/bench_controls.cpp)
    target_link_libraries(bench_controls PRIVATE vexo_controls benchmark::benchmark)
endif()
