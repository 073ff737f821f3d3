# What a cross-build for a Debian architecture needs, once the toolchain file
# has named it: ANEMOBUS_CROSS_TRIPLET (the GNU triplet, which is Debian's
# multiarch directory too), ANEMOBUS_CROSS_QEMU (the qemu-user program that
# runs its binaries) and ANEMOBUS_DEB_ARCH (the packages' architecture).
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${ANEMOBUS_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${ANEMOBUS_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ANEMOBUS_CROSS_TRIPLET}-g++)
# The libraries are the architecture's multiarch packages under /usr (not a
# sysroot): CMake's searches look in /usr/lib/<triplet>, not in this
# machine's directory, and pkg-config reads only that architecture's files.
set(CMAKE_LIBRARY_ARCHITECTURE ${ANEMOBUS_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ANEMOBUS_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
# qemu finds the loader and the C library of the multiarch libc6 at their
# own paths, beside the other libraries. Not with -L /usr/<triplet>: there
# the cross toolchain keeps a C library and libstdc++ of an earlier build,
# which qemu would load with the multiarch libraries of another; so mixed,
# the tests' threads and forks hung and crashed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${ANEMOBUS_CROSS_QEMU})
set(ANEMOBUS_DEB_ARCH ${ANEMOBUS_DEB_ARCH} CACHE STRING "Architecture of the Debian packages")
