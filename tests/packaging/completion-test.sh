#!/usr/bin/env bash
# What bash completes on firmware-flasher-cli command lines: the commands, each command's options,
# nothing for an option's value, and FILE from the .bin files and folders (every file where no .bin
# matches).
#
#   completion-test.sh BASH_COMPLETION_SCRIPT COMPLETION_FILE
set -euo pipefail
# shellcheck source=/dev/null
source "$1"
# shellcheck source=/dev/null
source "$2"

# The candidates bash is offered for the line as typed, the cursor at its end, sorted on one line.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#COMP_LINE}
  read -ra COMP_WORDS <<<"$COMP_LINE"
  if [[ $COMP_LINE == *' ' ]]; then COMP_WORDS+=(''); fi
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _firmware_flasher_cli firmware-flasher-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' '
}

failures=0
expect() {
  local got
  got=$(complete_line "$1")
  if [[ $got == "$2" ]]; then
    echo "ok: '$1' -> '$got'"
  else
    echo "FAIL: '$1' -> '$got', expected '$2'"
    failures=$((failures + 1))
  fi
}

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
mkdir "$folder/images" "$folder/notes"
touch "$folder/fw.bin" "$folder/OLD.BIN" "$folder/readme.txt" "$folder/notes/todo.txt"
cd "$folder"

expect 'firmware-flasher-cli ' '--help --version bootloader check flash list'
expect 'firmware-flasher-cli fl' 'flash'
expect 'firmware-flasher-cli --verbose flash --e' '--each-new'
expect 'firmware-flasher-cli check -' '-- --help --json --report-length --verbose'
expect 'firmware-flasher-cli flash ' 'OLD.BIN fw.bin images notes'
expect 'firmware-flasher-cli flash --wait 5 --serial SN-1 ' 'OLD.BIN fw.bin images notes'
expect 'firmware-flasher-cli check notes/' 'notes/todo.txt'
expect 'firmware-flasher-cli flash fw.bin --wait ' ''
expect 'firmware-flasher-cli flash fw.bin ' ''
expect 'firmware-flasher-cli list ' ''

[ "$failures" -eq 0 ]
