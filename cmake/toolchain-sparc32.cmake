# Cross build for 32-bit big-endian SPARC Linux, run under qemu user-mode
# emulation. Needs the Debian packages of the `sparc` group of
# scripts/deps.sh (the sparc64 cross compiler, its 32-bit C and C++ runtime
# libraries, and qemu-user).
#
#   cmake -S . -B build-sparc -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-sparc32.cmake
#
# Tests then run through CMAKE_CROSSCOMPILING_EMULATOR, so plain `ctest`
# works. Test code sees ZK_EMULATED=1 and can skip what cannot apply there
# (for instance a cross-check that runs a build-machine tool).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR sparc)

set(ZK_SPARC_TRIPLE sparc64-linux-gnu CACHE STRING "Prefix of the cross tools")
set(ZK_SPARC_SYSROOT /usr/${ZK_SPARC_TRIPLE} CACHE PATH
    "Folder the cross packages install the target's libraries into")

set(CMAKE_C_COMPILER ${ZK_SPARC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZK_SPARC_TRIPLE}-g++)
set(CMAKE_AR ${ZK_SPARC_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZK_SPARC_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${ZK_SPARC_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${ZK_SPARC_TRIPLE}-objdump CACHE FILEPATH "")

# The compiler targets 64-bit SPARC by default; -m32 selects the 32-bit ABI
# (4-byte pointers, the Solaris library's own layout). The 32-bit loader
# lives in the sysroot's lib32/, which is where qemu's -L finds it as
# /lib32/ld-linux.so.2.
set(CMAKE_C_FLAGS_INIT "-m32 -DZK_EMULATED=1")
set(CMAKE_CXX_FLAGS_INIT "-m32 -DZK_EMULATED=1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -Wl,--dynamic-linker=/lib32/ld-linux.so.2")
# CMake appends the C++ runtime to the shared object's link line; the native
# compiler drops it as unused, the cross compiler needs to be told to.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32 -Wl,--as-needed")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

set(CMAKE_FIND_ROOT_PATH ${ZK_SPARC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-sparc32plus runs 32-bit SPARC programs (V8+ instructions allowed,
# which is what gcc -m32 emits for a V9 default CPU).
find_program(ZK_QEMU_SPARC qemu-sparc32plus REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZK_QEMU_SPARC};-L;${ZK_SPARC_SYSROOT})

# The host tools stay out: zkdiscover needs CLI11 and nlohmann-json, which
# are installed for the build machine only, and its program tests start the
# program they test, which a target program cannot do under user emulation.
set(ZK_BUILD_TOOLS OFF CACHE BOOL "Build zkdiscover and the other tools")
