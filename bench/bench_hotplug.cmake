# bench_hotplug: two unpaced virtual boards at once against one in the same run, and the time
# from a board's return to the first frame after a reconnect.
if(TARGET vexo_api)
    add_executable(bench_hotplug ${CMAKE_CURRENT_LIST_DIR}/bench_hotplug.cpp)
    target_link_libraries(bench_hotplug PRIVATE vexo_api)
endif()
