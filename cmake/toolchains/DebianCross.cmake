# Shared by the toolchain files: Debian's cross compiler for the target
# triplet `tolvane_triplet`, with target binaries run on the build machine
# under qemu-user (`tolvane_qemu`). Target libraries such as GoogleTest come
# from Debian's multiarch packages (libgtest-dev:armhf, ...).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${tolvane_triplet})
set(CMAKE_C_COMPILER ${tolvane_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${tolvane_triplet}-g++)
# GLib's slice allocator in qemu-user 7 is not safe across a fork from a
# process with threads: the child can wait forever for a lock another thread
# held (seen as a load test that hangs after a posix_spawn). Plain malloc is.
set(CMAKE_CROSSCOMPILING_EMULATOR env G_SLICE=always-malloc ${tolvane_qemu}
    -L /usr/${tolvane_triplet})
