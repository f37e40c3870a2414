# Warnings are set once, here, and are errors everywhere.
add_library(thermal_warnings INTERFACE)
target_compile_options(thermal_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local> -Wformat=2 -Wundef -Wcast-qual -Wmissing-declarations)
