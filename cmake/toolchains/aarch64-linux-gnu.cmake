# Cross build for 64-bit ARM with Debian's g++-aarch64-linux-gnu.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(tolvane_triplet aarch64-linux-gnu)
set(tolvane_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
