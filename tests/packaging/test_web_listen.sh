#!/bin/sh
# The page's debconf question, through the package itself: dpkg installs,
# upgrades and purges it in a throwaway root (DPKG_ROOT, with a debconf
# database of its own) and dpkg-reconfigure asks again, answered on debconf's
# plain-text frontend. The answer must reach the file the unit reads, an
# address set there by hand must survive upgrades and reconfiguration, and a
# purge must leave neither the file nor the answer.
# Usage: test_web_listen.sh anemobus-web_VERSION_ARCH.deb (as root, like dpkg).
set -eu
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/throwaway_root.sh"
new_root "$work"
listen_file=$work/etc/anemobus-web/listen.conf
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# What the unit's ExecStart gets from the file, as systemd reads it.
listen_option() {
    (set -a && . "$listen_file" && echo "$ANEMOBUS_WEB_LISTEN") 2>/dev/null || echo "(no file)"
}

expect() {  # what the page must be told, and when
    got=$(listen_option)
    [ "$got" = "$1" ] || fail "$2: expected '$1', got '$got'"
}

reconfigure() {  # the number of the choice to answer
    echo "$1" | DEBIAN_FRONTEND=teletype in_root "$work" dpkg-reconfigure anemobus-web \
        >"$work/asked" 2>&1 ||
        fail "dpkg-reconfigure: $(cat "$work/asked")"
    grep -q "Who may open the weather page" "$work/asked" || fail "dpkg-reconfigure did not ask"
}

in_root_dpkg "$work" -i "$deb"
expect "--listen 127.0.0.1:8020" "first install, nothing asked"

reconfigure 2
expect "--listen 0.0.0.0:8020" "reconfigured for every network"

sed -i 's/0\.0\.0\.0:8020/192.168.7.1:8080/' "$listen_file"
in_root_dpkg "$work" -i "$deb"
expect "--listen 192.168.7.1:8080" "upgrade after a hand edit"
reconfigure 2
expect "--listen 192.168.7.1:8080" "hand-set address, same answer"
reconfigure 1
expect "--listen 127.0.0.1:8080" "reconfigured for this machine, port kept"

in_root_dpkg "$work" --purge anemobus-web
[ ! -e "$work/etc/anemobus-web" ] || fail "purge left $(ls -A "$work/etc/anemobus-web")"
answers=$(grep -h '^Name: anemobus-web' "$work"/var/cache/debconf/*.dat || true)
[ -z "$answers" ] || fail "purge left the answer: $answers"

echo "anemobus-web anemobus-web/listen select field-network" | in_root "$work" debconf-set-selections
in_root_dpkg "$work" -i "$deb"
expect "--listen 0.0.0.0:8020" "install preseeded for every network"

[ "$failures" -eq 0 ] || exit 1
echo "debconf answer, hand edits and purge: as expected"
