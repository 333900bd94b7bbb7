# Included by the top-level CMakeLists.txt, before any target, when LARKSPAN_FUZZ is ON: every
# C++ file of the project is then compiled with libFuzzer's coverage feedback and with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding aborts), and every program is
# linked with both sanitizers. Only the fuzz targets in fuzz/ link libFuzzer's own main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "LARKSPAN_FUZZ=ON needs clang (configure with -DCMAKE_CXX_COMPILER=clang++); "
                      "${CMAKE_CXX_COMPILER_ID} has no libFuzzer")
endif()
if(LARKSPAN_SANITIZE)
  message(FATAL_ERROR "LARKSPAN_FUZZ=ON brings its own sanitizers (address,undefined); "
                      "leave LARKSPAN_SANITIZE empty")
endif()

set(LARKSPAN_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
foreach(flag IN LISTS LARKSPAN_FUZZ_FLAGS)
  add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${flag}>")
endforeach()
add_link_options(-fsanitize=address,undefined)
