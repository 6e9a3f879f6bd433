# Cross build with Debian's cross toolchain for the triplet QUORVEL_CROSS_TRIPLET
# (set by the per-architecture files beside this one). The target's libraries
# are Debian's own packages of that architecture (multiarch, "libasound2-dev:arm64"
# and so on, installed by scripts/install-deps.sh --cross ARCH), so the compiler
# and CMake find them in /usr/lib/<triplet> without a separate sysroot.
#
# Test programs run under qemu-user, called explicitly (there is no binfmt_misc
# on the build machines). Its -L prefix is the root: with multiarch the target's
# C library, loader and every other library are installed there
# (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu/...). The cross
# toolchain's private directory /usr/<triplet> holds an older C library than
# libc6:<arch>, and its loader with the newer libc.so.6 hangs (arm64) or crashes
# (armhf) before main.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QUORVEL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${QUORVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUORVEL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUORVEL_CROSS_TRIPLET})
set(PKG_CONFIG_EXECUTABLE /usr/bin/${QUORVEL_CROSS_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config of the target")
set(QUORVEL_EMULATOR_SYSROOT / CACHE PATH "qemu-user's -L prefix: where the target's loader and libraries are")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${QUORVEL_CROSS_QEMU}-static -L ${QUORVEL_EMULATOR_SYSROOT})
