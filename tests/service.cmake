# The service client: the three small endpoints and the shared session, against the scripted server.
vorpane_add_test(service LIBS vorpane_service)

# Arbitrary reply bodies through the JSON reading and the three readers (libFuzzer, clang only;
# not a CTest test). For coverage inside the libraries as well, configure the fuzzing build with
# -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_executable(fuzz_replies ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_replies.cpp)
  target_compile_options(fuzz_replies PRIVATE -fsanitize=fuzzer,address)
  target_link_options(fuzz_replies PRIVATE -fsanitize=fuzzer,address)
  target_link_libraries(fuzz_replies PRIVATE vorpane_service vorpane_test_support)
endif()
