# Loopback socket helpers shared by the load generator and the baseline server.
add_library(bench_loopback STATIC ${CMAKE_CURRENT_LIST_DIR}/loopback.cpp)
target_include_directories(bench_loopback PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(bench_loopback PRIVATE token_warnings)
