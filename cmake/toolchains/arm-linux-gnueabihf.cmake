# Cross build for 32-bit ARM (hard float) with Debian's cross compiler
# (g++-arm-linux-gnueabihf); target binaries run on the build machine under
# qemu-user (qemu-arm). Target libraries such as GoogleTest come from
# Debian's multiarch packages (libgtest-dev:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
