set(VANTOR_AARCH64_ROOT /usr/aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VANTOR_AARCH64_ROOT})
# Libraries and headers come from the target's root and from prefixes given on the command
# line (CMAKE_PREFIX_PATH, e.g. a GoogleTest built for the target); programs from the host.
list(APPEND CMAKE_FIND_ROOT_PATH ${VANTOR_AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
