add_library(velqo_warnings INTERFACE)
target_compile_options(velqo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Woverloaded-virtual -Wimplicit-fallthrough
  $<$<BOOL:${VELQO_WERROR}>:-Werror>)
