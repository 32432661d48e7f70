# Inbound reassembly throughput against a bare terminator scan of the same bytes.
add_executable(bench_reassembly ${CMAKE_CURRENT_LIST_DIR}/bench_reassembly.cpp)
target_link_libraries(bench_reassembly PRIVATE wispline_link benchmark::benchmark)
