# Shared by the toolchain files: Debian's cross compiler for the target
# triplet `tolvane_triplet`, with target binaries run on the build machine
# under qemu-user (`tolvane_qemu`). Target libraries such as GoogleTest come
# from Debian's multiarch packages (libgtest-dev:armhf, ...).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${tolvane_triplet})
set(CMAKE_C_COMPILER ${tolvane_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${tolvane_triplet}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${tolvane_qemu} -L /usr/${tolvane_triplet})
