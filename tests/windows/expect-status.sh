#!/bin/sh
# Runs a command and succeeds only when it exits with the given status:
#   expect-status.sh STATUS COMMAND [ARGUMENTS...]
want=$1
shift
"$@"
status=$?
if [ "$status" -ne "$want" ]; then
    echo "exit status $status, expected $want" >&2
    exit 1
fi
