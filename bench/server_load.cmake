# Load generator for the reference server: 500 clients on loopback, one-to-one and "L2A"
# traffic; prints routed messages per second and delivery latency percentiles.
if(TARGET wispline-server)
    add_executable(bench_server_load ${CMAKE_CURRENT_LIST_DIR}/server_load.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/server_failover.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/server_relogon.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/server_storm.cpp
                                     ${CMAKE_CURRENT_LIST_DIR}/server_scale.cpp)
    target_link_libraries(bench_server_load PRIVATE wispline_server_core)
    target_compile_definitions(bench_server_load PRIVATE
        WISPLINE_SERVER_PATH="$<TARGET_FILE:wispline-server>")
    add_dependencies(bench_server_load wispline-server)
endif()
