# The cost of a password check: the full key derivation (OpenSSL and Qt) and a fast verifier.
if(TARGET wispline_server_core)
    add_executable(bench_password ${CMAKE_CURRENT_SOURCE_DIR}/bench_password.cpp)
    target_link_libraries(bench_password PRIVATE wispline_server_core benchmark::benchmark)
endif()
