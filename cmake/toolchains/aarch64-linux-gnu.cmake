# Cross build for 64-bit ARM with Debian's cross compiler
# (g++-aarch64-linux-gnu); target binaries run on the build machine under
# qemu-user (qemu-aarch64). Target libraries such as GoogleTest come from
# Debian's multiarch packages (libgtest-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
