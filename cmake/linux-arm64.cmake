# Linux on arm64 thin clients (cmake/linux-cross.cmake).
set(KST_CROSS_PROCESSOR aarch64)
set(KST_CROSS_TRIPLE aarch64-linux-gnu)
set(KST_CROSS_QEMU qemu-aarch64-static)
set(KST_CROSS_LOADER /lib/ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
