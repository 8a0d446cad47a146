# Linux on armhf thin clients: the same sources with Debian's cross compiler
# (arm-linux-gnueabihf-g++); its programs run on this machine under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The cross compiler's own folder, and the system's multiarch folders for
# the libraries of that architecture (FreeRDP's, where they are installed).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
# The architecture's own C library where it is installed beside this
# machine's (multiarch, as FreeRDP's libraries bring it), else the cross
# compiler's: never the one's loader with the other's library.
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/arm-linux-gnueabihf)
endif()
