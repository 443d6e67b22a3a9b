# Build type Sanitize (-DCMAKE_BUILD_TYPE=Sanitize): RelWithDebInfo's
# optimisation with AddressSanitizer and UndefinedBehaviorSanitizer, so that
# the first bad access, leak or undefined operation stops the process that
# made it. Stage sanitize of scripts/test.sh runs the suite built this way.
#
# The keypad and recorder tests wrap time(), delay() and the client calls
# with -Wl,--wrap; ASan's own interceptors sit below __real_*, so both work.
# A build type rather than CMAKE_CXX_FLAGS: one setting carries the
# compile and link flags together.
set(sanitizers "-fsanitize=address,undefined -fno-sanitize-recover=all")
set(CMAKE_CXX_FLAGS_SANITIZE "-O2 -g -DNDEBUG ${sanitizers} -fno-omit-frame-pointer")
set(CMAKE_EXE_LINKER_FLAGS_SANITIZE "${sanitizers}")
set(CMAKE_SHARED_LINKER_FLAGS_SANITIZE "${sanitizers}")
