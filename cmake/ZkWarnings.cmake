# Warnings are errors everywhere; format checks catch printf mistakes.
add_compile_options(-Wall -Wextra -Werror -Wformat=2 -Wno-format-nonliteral)

# Flags for code that goes into the shared object: a better C, with no
# exceptions, no RTTI and nothing from the C++ runtime library.
set(ZK_LIBRARY_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    # Keep malloc + memset as written: folding them into calloc would change
    # the call order hosts and tests rely on.
    -fno-builtin-malloc)
