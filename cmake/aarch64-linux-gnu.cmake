# 64-bit ARM Linux: cmake --toolchain cmake/aarch64-linux-gnu.cmake (g++-aarch64-linux-gnu,
# qemu-user).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(FINS_CROSS_TRIPLE aarch64-linux-gnu)
set(FINS_QEMU qemu-aarch64)
set(FINS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/CrossLinux.cmake)
