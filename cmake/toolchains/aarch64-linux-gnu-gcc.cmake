# Linux on 64-bit ARM with Debian's cross GCC (g++-aarch64-linux-gnu); programs built here
# run under qemu-aarch64 with the cross C library as the guest's root.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-linux-gnu-common.cmake)
