# Sourced by the package checks: a throwaway root for dpkg, as for a
# bootstrap. dpkg runs the maintainer scripts outside it with DPKG_ROOT set
# (the libraries the packages depend on are not there), and debconf, which
# reads its configuration and keeps its answers under DPKG_ROOT too, asks
# nothing unless told to.

# new_root DIR: an empty dpkg database and debconf database in DIR.
new_root() {
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/cache/debconf"
    : >"$1/var/lib/dpkg/status"
    # The architectures this machine's dpkg takes, foreign ones too: a
    # cross-build's packages install there as they would here.
    if [ -e /var/lib/dpkg/arch ]; then cp /var/lib/dpkg/arch "$1/var/lib/dpkg/arch"; fi
    printf '%s\n' 'Config: db' 'Templates: templatedb' '' 'Name: db' 'Driver: File' \
        'Filename: /var/cache/debconf/config.dat' '' 'Name: templatedb' 'Driver: File' \
        'Filename: /var/cache/debconf/templates.dat' >"$1/debconf.conf"
    # dpkg-reconfigure reads that configuration again after running a
    # maintainer script that does not use debconf, and debconf (1.5.82)
    # then puts DPKG_ROOT in front of its path a second time.
    mkdir -p "$1/$1"
    cp "$1/debconf.conf" "$1/$1/debconf.conf"
}

# in_root ROOT COMMAND...: runs a command (dpkg, dpkg-reconfigure,
# debconf-set-selections) on that root; dpkg's output is shown only when it fails.
in_root() {
    root_dir=$1
    shift
    DPKG_ROOT=$root_dir DEBCONF_SYSTEMRC=/debconf.conf DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-noninteractive} \
        "$@"
}

# in_root_dpkg ROOT DPKG-ARGUMENTS...
in_root_dpkg() {
    root_dir=$1
    shift
    if ! out=$(in_root "$root_dir" dpkg --root="$root_dir" --log=/dev/null --force-script-chrootless --force-depends "$@" 2>&1); then
        echo "$out" >&2
        return 1
    fi
}
