if(VELQO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(VELQO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VELQO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "Unknown VELQO_SANITIZE value '${VELQO_SANITIZE}'")
endif()

# libFuzzer builds: instrument the library's own objects for coverage feedback, so the
# fuzzers are guided by the decoders' branches and not only by their entry points. The
# per-layer object libraries are the only OBJECT libraries; tests and the reference
# service stay uninstrumented. The fuzz binaries add -fsanitize=fuzzer themselves.
if(VELQO_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELQO_BUILD_FUZZERS needs clang (set CMAKE_CXX_COMPILER=clang++-14)")
  endif()
  add_compile_options($<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,OBJECT_LIBRARY>:-fsanitize=fuzzer-no-link>)
endif()
