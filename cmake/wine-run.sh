#!/bin/sh
# Runs a Windows program under wine64:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#       in the wine prefix PREFIX, made on first use. Used as the cross-compiling emulator, so
#       CTest runs the Windows test programs through it.
#   wine-run.sh --copy TEMPLATE PROGRAM [ARGUMENTS...]
#       in a fresh copy of the prefix TEMPLATE (made on first use), with a wine session of its
#       own that starts here, so that it inherits this process's environment. For programs run
#       among fake hidraw devices (LD_PRELOAD and UMOCKDEV_DIR of a umockdev testbed): wine's HID
#       bus is set to take hidraw devices, and the session must not be one started outside the
#       testbed, which would see none. The copy is removed afterwards.
# The exit status is the program's.
set -eu
copy=0
if [ "${1:-}" = --copy ]; then
    copy=1
    shift
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--copy] PREFIX PROGRAM [ARGUMENTS...]" >&2
    exit 2
fi
prefix=$1
shift

WINEDEBUG=-all
# No prompts to install the .NET or HTML engines while the prefix is created.
WINEDLLOVERRIDES="mscoree,mshtml="
# The mingw runtime DLLs (libwinpthread-1.dll, which the posix thread model's programs import)
# come from the toolchain; an installed program has them beside it instead (FLASHER_WINE_BARE=1
# keeps the toolchain out, to show that).
if [ -z "${FLASHER_WINE_BARE:-}" ]; then
    WINEPATH="${WINEPATH:+$WINEPATH;}Z:\\usr\\x86_64-w64-mingw32\\lib;Z:\\usr\\lib\\gcc\\x86_64-w64-mingw32\\12-posix"
fi
export WINEDEBUG WINEDLLOVERRIDES WINEPATH
wine=${WINE64:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
    echo "wine-run.sh: $wine not found (install wine64)" >&2
    exit 2
fi
wineserver=$(dirname "$wine")/wineserver

# The first run creates the prefix (several seconds). Tests started in parallel wait for that
# instead of racing to create it twice. The prefix is made outside any testbed, so it records no
# fake device.
mkdir -p "$prefix"
ready=$prefix/.flasher-prefix-ready
(
    flock 9
    if [ ! -e "$ready" ]; then
        export WINEPREFIX="$prefix"
        if [ $copy = 1 ]; then
            env -u LD_PRELOAD -u UMOCKDEV_DIR "$wine" wineboot --init >/dev/null 2>&1 || true
            # Without this winebus starts only its SDL bus, which finds no SDL library here, and
            # never its udev bus. Joysticks stay on hidraw rather than evdev.
            key='HKLM\System\CurrentControlSet\Services\winebus'
            env -u LD_PRELOAD -u UMOCKDEV_DIR "$wine" reg add "$key" /v "Enable SDL" /t REG_DWORD /d 0 /f \
                >/dev/null 2>&1
            env -u LD_PRELOAD -u UMOCKDEV_DIR "$wine" reg add "$key" /v DisableInput /t REG_DWORD /d 1 /f \
                >/dev/null 2>&1
            # Wine's own fonts (package fonts-wine), which it does not load from where Debian
            # puts them: without them the window's text falls back to a serif face.
            if [ -d /usr/share/wine/fonts ]; then
                cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
            fi
            # The registry reaches the disk when the session ends.
            env -u LD_PRELOAD -u UMOCKDEV_DIR "$wineserver" -k 2>/dev/null || true
            env -u LD_PRELOAD -u UMOCKDEV_DIR "$wineserver" -w
        else
            "$wine" wineboot --init >/dev/null 2>&1 || true
        fi
        touch "$ready"
    fi
) 9>"$prefix.lock"

if [ $copy = 0 ]; then
    WINEPREFIX=$prefix exec "$wine" "$@"
fi

run=$(mktemp -d "$prefix.run.XXXXXX")
cleanup() {
    WINEPREFIX=$run "$wineserver" -k 2>/dev/null || true
    WINEPREFIX=$run "$wineserver" -w 2>/dev/null || true
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# The prefix's files are shared by hard links (the system folder alone is over 600 MB); those that
# the session writes, the registry, are copies of their own.
if cp -al "$prefix/." "$run/" 2>/dev/null; then
    for file in "$prefix"/*.reg; do
        cp --remove-destination "$file" "$run/"
    done
else
    rm -rf "$run" && mkdir "$run" && cp -a "$prefix/." "$run/"
fi
export WINEPREFIX="$run"
"$wineserver" -k 2>/dev/null || true
status=0
"$wine" "$@" || status=$?
exit $status
