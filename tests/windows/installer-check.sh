#!/bin/sh
# Installs the Windows installer silently into a fresh wine prefix among the simulated controllers
# (run inside wine_testbed), then checks what a user would find: the program and what it loads
# under Program Files, the Start menu entry, the uninstaller, and the installed command line
# listing the two simulated controllers and flashing the first: its bootloader must hold the
# file's bytes (the testbed answers "@image" with their length and sha256). Only the installed
# files serve the program: the toolchain's DLLs are kept out of its search path.
#   installer-check.sh WINE_RUN TEMPLATE INSTALLER
set -eu
wine_run=$1
template=$2
installer=$3
[ -f "$installer" ] || { echo "no installer at $installer (cpack makes it)" >&2; exit 1; }

work=$(mktemp -d)
out=$work/output
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:$1" | tr / '\\'; }
# The testbed's first controller takes an image of 5000 bytes.
head -c 5000 /dev/urandom >"$work/fw.bin"
sha=$(sha256sum "$work/fw.bin" | cut -d' ' -f1)
# One wine session: install (start /wait: the installer is a window program, which cmd would not
# wait for), list the files from inside, and run the installed command line.
cat >"$work/check.bat" <<BATCH
@echo off
start /wait $(winpath "$installer") /S
if errorlevel 1 exit /b 1
echo installed
set dir=C:\\Program Files\\Firmware flasher
dir /b "%dir%" "%dir%\\platforms" "%dir%\\styles"
rem For all users or for this one, as the installer decides.
dir /b /s "%ProgramData%\\Microsoft\\Windows\\Start Menu\\Firmware flasher.lnk" "%APPDATA%\\Microsoft\\Windows\\Start Menu\\Firmware flasher.lnk"
"%dir%\\firmware-flasher-cli.exe" list --json
"%dir%\\firmware-flasher-cli.exe" flash $(winpath "$work/fw.bin") --serial SIM-0001 --wait 30
echo flash status %errorlevel%
echo @image SIM-0001
set /p image=
echo image %image%
BATCH
# The output goes on to the testbed, which answers the "@" requests on standard input.
FLASHER_WINE_BARE=1 sh "$wine_run" --copy "$template" cmd /c "$(winpath "$work/check.bat")" 2>&1 | tee "$out" || true

failed=0
expect() {
    if grep -qF -- "$1" "$out"; then
        echo "ok: $2"
    else
        echo "FAIL: $2 (no \"$1\" in the output)"
        failed=1
    fi
}
expect installed "the installer ran silently"
for file in firmware-flasher.exe firmware-flasher-cli.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
    libwinpthread-1.dll libstdc++-6.dll libgcc_s_seh-1.dll qwindows.dll qwindowsvistastyle.dll \
    Uninstall.exe; do
    expect "$file" "$file is installed"
done
expect "Firmware flasher.lnk" "the Start menu entry"
expect '"serial": "SIM-0001"' "the installed command line lists the first controller"
expect '"serial": "SIM-0002"' "the installed command line lists the second controller"
expect "flash status 0" "the installed command line flashed the first controller"
expect "image 5000 $sha" "its bootloader took the file's 5000 bytes, sha256 $sha"
exit $failed
