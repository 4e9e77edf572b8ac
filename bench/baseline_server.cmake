# The baseline server: the same worker pool answering every line with a fixed reply.
add_executable(baseline_server ${CMAKE_CURRENT_LIST_DIR}/baseline_server.cpp)
target_link_libraries(baseline_server PRIVATE bench_loopback token_core token_warnings)
