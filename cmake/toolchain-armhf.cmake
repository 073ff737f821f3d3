# Cross-builds anemobus for 32-bit ARM with hardware floating point (Debian
# armhf: Raspberry Pi OS 32-bit on a Raspberry Pi 2 or later), as
# toolchain-arm64.cmake does for arm64: `scripts/install-deps --armhf`.
set(ANEMOBUS_CROSS_TRIPLET arm-linux-gnueabihf)
set(ANEMOBUS_CROSS_QEMU qemu-arm)
set(ANEMOBUS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/CrossDebian.cmake)
