# Cross-builds anemobus for 64-bit ARM (Debian arm64: Raspberry Pi OS 64-bit,
# Raspberry Pi 3, 4 and 5) on a Debian machine, against the arm64 multiarch
# libraries that `scripts/install-deps --arm64` installs beside the
# machine's own. The programs it builds (tests, and the test discovery at
# build time) run under qemu-user, without binfmt_misc.
set(ANEMOBUS_CROSS_TRIPLET aarch64-linux-gnu)
set(ANEMOBUS_CROSS_QEMU qemu-aarch64)
set(ANEMOBUS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/CrossDebian.cmake)
