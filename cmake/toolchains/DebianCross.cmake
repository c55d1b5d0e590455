# Shared by the toolchain files: Debian's cross compiler for the target
# triplet `tolvane_triplet`, with target binaries run on the build machine
# under qemu-user (`tolvane_qemu`). Target libraries such as GoogleTest come
# from Debian's multiarch packages (libgtest-dev:armhf, ...).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${tolvane_triplet})
set(CMAKE_C_COMPILER ${tolvane_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${tolvane_triplet}-g++)

# qemu-user 7 is not safe across a fork from a process with threads: the
# child can wait forever for a lock another thread held at the fork. Two such
# locks hung tests that fork while a thread of theirs works: GLib's slice
# allocator (plain malloc instead, G_SLICE=always-malloc) and the one qemu
# takes to look each absolute file name up below its prefix (`-L`, by
# default /etc/qemu-binfmt/<cpu>). `-L /` turns the lookup off; it serves
# where the target's C and C++ libraries are installed for its architecture
# (libc6:armhf libstdc++6:armhf, ...), as its loader finds them there.
set(tolvane_qemu_prefix -L /usr/${tolvane_triplet})
if(EXISTS /usr/lib/${tolvane_triplet}/libc.so.6 AND
   EXISTS /usr/lib/${tolvane_triplet}/libstdc++.so.6)
  set(tolvane_qemu_prefix -L /)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env G_SLICE=always-malloc ${tolvane_qemu}
    ${tolvane_qemu_prefix})
