# 32-bit ARM with hardware floating point (Debian armhf); see DebianCross.cmake.
set(QUORVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(QUORVEL_CROSS_PROCESSOR arm)
set(QUORVEL_CROSS_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
