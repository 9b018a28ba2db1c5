# Shared part of the ARM toolchain files: Debian's cross compiler for FINS_CROSS_TRIPLE, its
# libraries under /usr/<triple>, and qemu-user to run what the build makes (tests, gtest
# discovery). FINS_DEB_ARCH is the Debian architecture the package is made for.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${FINS_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FINS_CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${FINS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -L: the emulated programs load the target's C and C++ libraries from the cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${FINS_QEMU} -L /usr/${FINS_CROSS_TRIPLE})
