# Cross-building for 64-bit ARM Linux (Jetson, Raspberry Pi 5, ARM servers)
# with Debian's cross toolchain (crossbuild-essential-arm64) and the arm64
# builds of the dependencies installed through multiarch
# (scripts/bootstrap --arm64 installs both):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VORA_TARGET_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${VORA_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VORA_TARGET_TRIPLE}-g++)

# Multiarch: the arm64 libraries live beside the host's in /usr, under
# lib/aarch64-linux-gnu; headers in /usr/include are shared.
set(CMAKE_LIBRARY_ARCHITECTURE ${VORA_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${VORA_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config must find the arm64 .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VORA_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Tests and generators run the arm64 programs under qemu-user where the
# build machine is not arm64 (binfmt makes programs they start run too).
if(NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  find_program(VORA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
  if(VORA_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VORA_QEMU_AARCH64})
  endif()
endif()
