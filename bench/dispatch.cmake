add_executable(bench_dispatch ${CMAKE_CURRENT_SOURCE_DIR}/bench_dispatch.cpp)
target_link_libraries(bench_dispatch PRIVATE wispline_mainwindow benchmark::benchmark)
