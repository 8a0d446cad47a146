# Linux on armhf thin clients (cmake/linux-cross.cmake).
set(KST_CROSS_PROCESSOR arm)
set(KST_CROSS_TRIPLE arm-linux-gnueabihf)
set(KST_CROSS_QEMU qemu-arm-static)
set(KST_CROSS_LOADER /lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
