# The hardening Debian builds with (dpkg-buildflags' "hardening=+all"), for
# every target: position-independent executables, read-only relocations bound
# at load, stack protector, and _FORTIFY_SOURCE where the optimiser can use it
# (it wants -O1 or more, and the Debug build would warn).
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-fstack-protector-strong -fstack-clash-protection
                    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now)
