# bench_sync: four triggered virtual boards as one sync group at 60 sets a second: how long a
# set waits between its last frame's arrival and its delivery, and what the matching costs per
# set against copying the set's frames once.
# The layer's calls of the C functions reach the boards of the static vexo_api it is linked
# before.
if(TARGET vexo_api AND TARGET vexo_cpp)
    add_executable(bench_sync ${CMAKE_CURRENT_LIST_DIR}/bench_sync.cpp)
    target_link_libraries(bench_sync PRIVATE vexo_cpp vexo_api)
endif()
