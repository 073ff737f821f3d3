# Read by cpack before it makes a cross-build's packages
# (CPACK_PROJECT_CONFIG_FILE). dpkg-shlibdeps, which cpack runs, looks for
# the programs' libraries among those of DEB_HOST_ARCH (/usr/lib/<triplet>)
# and reads their dependencies from the packages of that architecture; left
# to itself it would take this machine's.
set(ENV{DEB_HOST_ARCH} "${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}")
