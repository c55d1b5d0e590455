# Cross build for 32-bit ARM (hard float) with Debian's
# g++-arm-linux-gnueabihf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(tolvane_triplet arm-linux-gnueabihf)
set(tolvane_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)
