#!/bin/sh
# anemobus-station-rule against a fake udevadm that answers from a property
# listing, as `udevadm info --query=property` prints it, and logs every other
# call. Checks the rule text it writes, not only that it runs.
set -eu
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$(dirname "$0")/fake-udevadm" "$work/bin/udevadm"
export PATH="$work/bin:$PATH" FAKE_LOG="$work/udevadm.log" FAKE_PROPERTIES="$work/properties"
export ANEMOBUS_RULES_DIR="$work/rules.d"
device=$work/ttyUSB0
: >"$device"
rules=$ANEMOBUS_RULES_DIR/70-anemobus-station.rules
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

adapter() {  # serial number, then extra property lines
    serial=$1
    shift
    {
        printf '%s\n' DEVNAME=/dev/ttyUSB0 SUBSYSTEM=tty ID_BUS=usb ID_VENDOR_ID=0403 \
            ID_MODEL_ID=6001 ID_MODEL=FT232R_USB_UART
        [ -z "$serial" ] || echo "ID_SERIAL_SHORT=$serial"
        [ $# -eq 0 ] || printf '%s\n' "$@"
    } >"$FAKE_PROPERTIES"
}

# The line is prepared by the command installed beside the rule's, by its
# absolute path, on the device node udev names.
prepare_line=$(cd "$(dirname "$script")" && pwd -P)/anemobus-prepare-line
expected='SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", ATTRS{serial}=="A50285BI", SYMLINK+="anemobus-station", TAG+="systemd", RUN+="'$prepare_line' -d $devnode"'

# Printing: the rule, nothing installed.
adapter A50285BI
out=$("$script" --print "$device")
printf '%s\n' "$out" | grep -qxF "$expected" || fail "--print: no rule line in: $out"
[ ! -e "$rules" ] || fail "--print installed a rule"

# Refused at the prompt, then accepted: what is installed is what was shown.
echo n | "$script" "$device" >/dev/null 2>&1 && fail "a refusal ended with status 0"
[ ! -e "$rules" ] || fail "a refused rule was installed"
echo y | "$script" "$device" >"$work/shown" 2>/dev/null || fail "an accepted rule failed"
cmp -s "$work/shown" "$rules" || fail "the installed rule differs from the one shown"
[ "$(grep -cv '^#' "$rules")" -eq 1 ] || fail "more than one rule line: $(cat "$rules")"
grep -qxF "$expected" "$rules" || fail "installed rule: $(cat "$rules")"
grep -q '^control --reload-rules' "$FAKE_LOG" || fail "udev rules not reloaded"
grep -q "^trigger --action=add $device" "$FAKE_LOG" || fail "device not triggered"

# An adapter the rule could not tell from its siblings, or could not quote,
# or that is no USB serial adapter: refused with a reason, the old rule kept.
for case in "no-serial|no serial number" 'bad-serial|characters' 'not-usb|not a USB'; do
    name=${case%%|*}
    reason=${case#*|}
    case $name in
        no-serial) adapter "" ;;
        bad-serial) adapter 'A5", SYMLINK+="x' ;;
        not-usb) adapter A50285BI ID_BUS=pci && sed -i '/^ID_BUS=usb$/d' "$FAKE_PROPERTIES" ;;
    esac
    if "$script" --yes "$device" >/dev/null 2>"$work/err"; then
        fail "$name: accepted"
    fi
    grep -q "$reason" "$work/err" || fail "$name: no clear reason: $(cat "$work/err")"
    grep -qxF "$expected" "$rules" || fail "$name: the installed rule was touched"
done

# A rule that would run a missing command is not written.
mkdir "$work/alone"
cp "$script" "$work/alone/"
adapter A50285BI
if "$work/alone/anemobus-station-rule" --print "$device" >/dev/null 2>"$work/err"; then
    fail "a rule was printed without anemobus-prepare-line beside the command"
fi
grep -q "anemobus-prepare-line is missing" "$work/err" || fail "no clear reason: $(cat "$work/err")"

# Newer udev names the same values ID_USB_*.
printf '%s\n' SUBSYSTEM=tty ID_USB_DRIVER=ftdi_sio ID_BUS=usb ID_USB_VENDOR_ID=0403 \
    ID_USB_MODEL_ID=6001 ID_USB_SERIAL_SHORT=A50285BI >"$FAKE_PROPERTIES"
"$script" --print "$device" | grep -qxF "$expected" || fail "ID_USB_* properties not read"

[ "$failures" -eq 0 ]
