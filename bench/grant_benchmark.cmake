# grant_benchmark: ns per grant_tokens for known clients, and the heap bytes each client takes.
find_package(benchmark REQUIRED)
add_executable(grant_benchmark ${CMAKE_CURRENT_LIST_DIR}/grant_benchmark.cpp)
target_link_libraries(grant_benchmark PRIVATE token_core benchmark::benchmark token_warnings)
