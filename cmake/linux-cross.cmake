# Linux on ARM thin clients, for the toolchain files that name the machine
# (KST_CROSS_PROCESSOR, KST_CROSS_TRIPLE, KST_CROSS_QEMU, KST_CROSS_LOADER):
# the same sources with Debian's cross compiler (<triple>-g++); its programs
# run on this machine under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KST_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${KST_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KST_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KST_CROSS_TRIPLE})
# The cross compiler's own folder, and the system's multiarch folders for
# the libraries of that architecture (FreeRDP's, where they are installed).
set(CMAKE_FIND_ROOT_PATH /usr/${KST_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
# The architecture's own C library where it is installed beside this
# machine's (multiarch, as FreeRDP's libraries bring it), else the cross
# compiler's: never the one's loader with the other's library.
if(EXISTS ${KST_CROSS_LOADER})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KST_CROSS_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KST_CROSS_QEMU} -L /usr/${KST_CROSS_TRIPLE})
endif()
