#!/bin/sh
# Runs a Windows program under wine64 in a private wine prefix:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
# The exit status is the program's. Used as the cross-compiling emulator, so CTest runs the
# Windows test programs through it.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 PREFIX PROGRAM [ARGUMENTS...]" >&2
    exit 2
fi
prefix=$1
shift

WINEPREFIX=$prefix
WINEDEBUG=-all
# No prompts to install the .NET or HTML engines while the prefix is created.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
wine=${WINE64:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
    echo "wine-run.sh: $wine not found (install wine64)" >&2
    exit 2
fi

# The first run creates the prefix (several seconds). Tests started in parallel wait for that
# instead of racing to create it twice.
mkdir -p "$prefix"
ready=$prefix/.flasher-prefix-ready
(
    flock 9
    if [ ! -e "$ready" ]; then
        "$wine" wineboot --init >/dev/null 2>&1 || true
        touch "$ready"
    fi
) 9>"$prefix.lock"

exec "$wine" "$@"
