# 32-bit ARM Linux, hard float: cmake --toolchain cmake/arm-linux-gnueabihf.cmake
# (g++-arm-linux-gnueabihf, qemu-user).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(FINS_CROSS_TRIPLE arm-linux-gnueabihf)
set(FINS_QEMU qemu-arm)
set(FINS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/CrossLinux.cmake)
