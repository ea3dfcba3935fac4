add_library(velqo_warnings INTERFACE)
target_compile_options(velqo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wimplicit-fallthrough
  # GCC 12 reports false -Wrestrict overlaps inside libstdc++'s string code at -O3.
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>
  $<$<BOOL:${VELQO_WERROR}>:-Werror>)
