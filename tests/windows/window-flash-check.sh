#!/bin/sh
# The whole flash through the Windows window under wine, driven as a person does it: clicks and
# keys on an Xvfb screen (xdotool), among the testbed's two simulated controllers. Runs inside
# wine_testbed, whose "@" requests on standard output tell what the controllers received.
#   window-flash-check.sh WINE_RUN TEMPLATE INSTALLED_FOLDER [MID_FLASH_PNG]
# "1. Bootloader" restarts the first controller, the selection follows it into its bootloader,
# "2. Browse file" picks a 5000-byte file in the system's file dialog, "3. Flash firmware" sends it.
# The testbed makes the bootloader refuse a block once, so the first flash ends in the "Error" box;
# the second ends in "Firmware flash finished", the bootloader holds the file's bytes and the
# second controller received nothing.
set -eu
wine_run=$1
template=$2
app=$3
shot=${4:-} # a picture of the window half way through the transfer that succeeds
work=$(mktemp -d)
log=$work/log
xvfb=
program=
cleanup() {
    [ -z "$program" ] || kill "$program" 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
say() { echo "window-flash-check: $*" >&2; }
fail() {
    say "FAIL: $*"
    [ -f "$log" ] && tail -n 30 "$log" >&2
    # What the screen showed, for reading afterwards.
    screen=${TMPDIR:-/tmp}/window-flash-check-failure.png
    xwd -root -silent 2>/dev/null | xwdtopnm 2>/dev/null | pnmtopng >"$screen" 2>/dev/null && say "the screen: $screen"
    exit 1
}
winpath() { echo "Z:$1" | tr / '\\'; }
# Waits up to $1 tenths of a second for the command after it to succeed.
within() {
    tenths=$1
    shift
    while [ "$tenths" -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tenths=$((tenths - 1))
    done
    return 1
}
# The first visible window called NAME, waiting up to TENTHS tenths of a second. A search can fail
# on a window that vanishes while it is looked at (wine makes and drops windows), so it is tried
# again rather than trusted once.
window_named() {
    tenths=$2
    while [ "$tenths" -gt 0 ]; do
        found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true)
        [ -n "$found" ] && { echo "$found"; return 0; }
        sleep 0.1
        tenths=$((tenths - 1))
    done
    return 1
}
# No visible window called NAME, in two searches a moment apart.
gone() {
    [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null || true)" ] && sleep 0.3 &&
        [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null || true)" ]
}
exec 4>&1 # the testbed reads requests here, also from inside $(...)
ask() {
    echo "$1" >&4
    read -r answer
    echo "$answer"
}
logged() {
    count=$(grep -c -- "$1" "$log" 2>/dev/null || true)
    [ "${count:-0}" -ge "$2" ]
}

head -c 5000 /dev/urandom >"$work/fw.bin" # the size the first controller takes
sha=$(sha256sum "$work/fw.bin" | cut -d' ' -f1)

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
within 100 test -s "$work/display" || fail "Xvfb did not start within 10 s"
DISPLAY=:$(cat "$work/display")
export DISPLAY

# Qt logs to standard error only when told so inside wine; discovery logs each device it takes.
FLASHER_WINE_BARE=1 sh "$wine_run" --copy "$template" cmd /c \
    "cd /d $(winpath "$app") && set QT_FORCE_STDERR_LOGGING=1&& firmware-flasher.exe" >"$log" 2>&1 </dev/null &
program=$!
within 600 logged '^Device: ' 2 || fail "the window did not take two controllers within 60 s"
window=$(window_named '^Firmware flasher$' 600) || fail "no window within 60 s"
sleep 2 # the list fills on the window's thread after discovery's report
# The buttons of the form, in the window's own coordinates.
press() { xdotool mousemove --window "$window" 375 "$1" click 1; }

press 50 # 1. Bootloader: the first entry, SIM-0001, is selected
within 300 logged 'Bootloader :: SIM-0001' 1 || fail "no bootloader of SIM-0001 within 30 s"
sleep 2

press 80 # 2. Browse file
dialog=$(window_named '^Select file$' 300) || fail "no file dialog within 30 s"
sleep 1
# There is no window manager: the dialog gets the keyboard by being given the focus.
xdotool windowfocus "$dialog"
sleep 0.5
xdotool type --delay 20 "$(winpath "$work/fw.bin")"
xdotool key Return
within 100 logged "fw.bin" 1 || fail "the file dialog did not hand the file over within 10 s"

press 110 # 3. Flash firmware: the bootloader refuses a block
box=$(window_named '^Error$' 600) || fail "no \"Error\" box for the refused block within 60 s"
echo "ok: the refused block is told in the \"Error\" box"
xdotool windowfocus "$box"
sleep 0.5
xdotool key Return
within 100 gone '^Error$' || fail "the Error box did not close"

[ -z "$shot" ] || [ "$(ask "@hold SIM-0001 40" | tail -n1)" = ok ] || fail "the testbed cannot hold a block"
press 110 # 3. Flash firmware, again
if [ -n "$shot" ]; then
    [ "$(ask "@held SIM-0001" | tail -n1)" = held ] || fail "the transfer did not reach block 40 within 30 s"
    sleep 1 # the bar's last value reaches the screen
    xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$shot"
    ask "@release SIM-0001" >/dev/null
    echo "ok: the window photographed half way through the transfer"
fi
box=$(window_named '^Firmware flash finished$' 600) || fail "no \"Firmware flash finished\" within 60 s"
echo "ok: the window says \"Firmware flash finished\""

image=$(ask "@image SIM-0001" | tail -n1)
[ "$image" = "5000 $sha" ] || fail "the bootloader holds \"$image\", not the file's 5000 bytes, sha256 $sha"
echo "ok: the bootloader holds the file's 5000 bytes, sha256 $sha"
other=$(ask "@commands SIM-0002" | tail -n1)
[ "$other" = "0 0" ] || fail "the second controller received something: \"$other\" (commands, images)"
echo "ok: the second controller received nothing"
