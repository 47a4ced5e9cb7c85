#!/bin/sh
# SIGTERM stops the editor as closing its window does: it exits with 0, the
# engine stops and the debug log is closed with its last line.
# Usage: terminate_test.sh EDITOR
set -u
editor=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
truncate -s 1M "$dir/disk.img"
cd "$dir" || exit 1
QT_QPA_PLATFORM=offscreen KW_DISKS="$dir/disk.img" "$editor" "/DBG=$dir/debug.txt" >"$dir/out.txt" 2>&1 &
pid=$!
# Wait (at most a minute) until the engine has started.
tries=0
until grep -q "Exiting enStartEngine" "$dir/debug.txt" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 600 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "the editor did not start"; cat "$dir/out.txt"; kill "$pid" 2>/dev/null; exit 1
    fi
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid"
status=$?
if [ "$status" -ne 0 ]; then
    echo "exit status $status after SIGTERM"; cat "$dir/out.txt"; exit 1
fi
if ! grep -q "DbgMgr->Uninit" "$dir/debug.txt"; then
    echo "the debug log was not closed:"; tail -5 "$dir/debug.txt"; exit 1
fi
