# The closed-loop load generator and the checks of what it sends and receives.
add_library(bench_load_protocol STATIC ${CMAKE_CURRENT_LIST_DIR}/load_protocol.cpp)
target_include_directories(bench_load_protocol PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(bench_load_protocol PRIVATE token_warnings)

add_executable(load_generator ${CMAKE_CURRENT_LIST_DIR}/load_generator.cpp)
target_link_libraries(load_generator PRIVATE bench_load_protocol bench_loopback token_core
                      token_warnings)

if(TOKEN_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(load_protocol_test ${CMAKE_CURRENT_LIST_DIR}/load_protocol_test.cpp)
  target_link_libraries(load_protocol_test PRIVATE bench_load_protocol GTest::gtest_main
                        token_warnings)
  gtest_discover_tests(load_protocol_test DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
endif()
