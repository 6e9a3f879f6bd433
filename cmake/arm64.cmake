# 64-bit ARM (Debian arm64); see DebianCross.cmake.
set(QUORVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(QUORVEL_CROSS_PROCESSOR aarch64)
set(QUORVEL_CROSS_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
